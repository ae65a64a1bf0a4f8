"""A still of a caption look: a sample line drawn in the chosen style,
position and size over a range's first frame as the recap frames it (or
over a neutral grey when no video is loaded), with the recap's own filters
and caption script, sent small.

The sample's second word is the one being spoken and its last is marked
for colour, so each style shows what it does with both.
"""

from __future__ import annotations

import tempfile
from pathlib import Path

from ..recap.captions.caption_layout import CaptionLook, placement
from ..recap.captions.caption_styles import StyledCue, Word, to_ass
from ..recap.captions.cues import FONT_DIR
from ..recap.framing.modes import ASPECTS, framing_filter, smart_filter
from ..runner import ChildStopped, run
from .framing_view import LAYOUTS, STILL_BYTES, STILL_HEIGHT, TIMEOUT, FramingRefused

__all__ = ["caption_still"]

SAMPLE = StyledCue(0.0, 2.0, (Word("Say", 0.1, 0.4), Word("it", 0.5, 0.8), Word("loud", 0.9, 1.2, True)))
AT = 0.65  # the still's time in the sample: "it" is being spoken
NEUTRAL = "0x4a5058"
PREVIEW_HEIGHT = STILL_HEIGHT // 2  # several are shown side by side


def caption_still(look: CaptionLook, aspect: str, *, video: str | None = None, at: float = 0.0,
                  layout: str = "crop", centre: float = 0.5) -> bytes:
    """One JPEG of `look` at `aspect`; over the frame at `at` s of the
    loaded `video` (a local file) framed by `layout` and `centre` (as
    `framing_view.still`)."""
    if aspect not in ASPECTS or layout not in LAYOUTS or not 0.0 <= centre <= 1.0 or not at >= 0.0:
        raise FramingRefused(f"a caption still needs an aspect of {', '.join(ASPECTS)}, a layout of "
                             f"{', '.join(LAYOUTS)}, a centre from 0 to 1 and a time")
    width, height = ASPECTS[aspect]
    if video is None:
        source = ["-f", "lavfi", "-i", f"color=c={NEUTRAL}:s={width}x{height}:d=1"]
        framed = "null"
    else:
        source = ["-protocol_whitelist", "file", "-ss", f"{at:.3f}", "-i", video]
        framed = smart_filter(aspect, f"{centre:.4f}") if layout == "crop" else framing_filter(layout, aspect)
    with tempfile.TemporaryDirectory(prefix="vantor-caption-still-") as scratch:
        Path(scratch, "look.ass").write_text(to_ass([SAMPLE], look, placement(look, aspect)), encoding="utf-8")
        # The frame is stamped with the sample's time, so the script draws that moment.
        chain = f"{framed},setpts=PTS-STARTPTS+{AT}/TB,ass=look.ass:fontsdir={FONT_DIR},scale=-2:{PREVIEW_HEIGHT}"
        try:
            done = run(["ffmpeg", "-v", "error", "-nostdin", *source, "-vf", chain, "-frames:v", "1",
                        "-f", "image2pipe", "-c:v", "mjpeg", "-"], time_limit=TIMEOUT, keep=STILL_BYTES, cwd=scratch)
        except ChildStopped:
            raise FramingRefused("no caption still could be made in time") from None
    if done.returncode != 0 or not done.stdout.startswith(b"\xff\xd8") or len(done.stdout) >= STILL_BYTES:
        raise FramingRefused("no caption still could be made" + (" of the video at that time" if video else ""))
    return bytes(done.stdout)
