"""The captions feature: cues from the narrations' word times, their styles, layout and font, drawn in the
conversion."""
