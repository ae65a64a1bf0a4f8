"""A stand-in for the `piper` program where a test must force what the real
one cannot be made to do: hang on a line, or announce a file outside its
output directory. Otherwise it answers like piper: one WAV per line in
--output-dir, announced on stderr. The line's text picks the behaviour."""

from __future__ import annotations

import argparse
import sys
import time
import wave
from pathlib import Path

parser = argparse.ArgumentParser()
parser.add_argument("--output-dir", required=True)
args, _ = parser.parse_known_args()
for n, line in enumerate(sys.stdin):
    text = line.strip()
    time.sleep(0.2)  # long enough for concurrent callers to overlap
    if text == "hang":
        time.sleep(3600)
    out = Path(args.output_dir) / f"{n}.wav"
    with wave.open(str(out), "wb") as wav:
        wav.setnchannels(1)
        wav.setsampwidth(2)
        wav.setframerate(22050)
        wav.writeframes(b"\x10\x00" * int(22050 * 0.1 * len(text)))  # 0.1 s per character
    if text.startswith("elsewhere "):
        print(f"INFO:__main__:Wrote {text.split(' ', 1)[1]}", file=sys.stderr, flush=True)
    print(f"INFO:__main__:Wrote {out}", file=sys.stderr, flush=True)
