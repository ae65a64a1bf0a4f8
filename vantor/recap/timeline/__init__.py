"""The run's timeline, which every feature reads, its plan, the ffmpeg commands it shapes and the exact join."""
