"""The captions of a run, made within its one conversion encode.

At the conversion step the run's timeline places the cues (each range's
narration where it starts in the recap, none past its range), the caption
files are written in the working folder, and the conversion is extended:
"burn" draws them as the picture's last stage (after the speed-up and the
framing, so the cue times are the recap's) in the chosen style, "track"
adds the SRT as a soft subtitle stream tagged with the voice's language.
No second encode.
The files are published with the results (`outputs.publish`), so none is
left half-written. Before the drawn captions are placed, the joined video
is looked at for subtitles burned into the source (`burned_subtitles`):
captions that would cover them are drawn above them, and the run says so.
"""

from __future__ import annotations

import os
import re
from collections.abc import Callable, Sequence
from typing import TYPE_CHECKING

from .caption_layout import CaptionLook, Placement, placement
from .caption_styles import to_ass
from .cues import FONT_DIR, font_installed, timeline_cues, to_srt, to_vtt
from .emphasis import marked_timing, styled_cues
from ..fit.fit_report import check_caption_choice
from ..framing.modes import ASPECTS
from ..engine.host import Shaper
from ..engine.outputs import OutputError, OutputNames

if TYPE_CHECKING:
    from ...services import NarrationTiming
    from ..timeline.join_step import RecapJoin
    from ..engine.steps import Conversion
    from ..timeline.model import Timeline

__all__ = ["CaptionPlan", "check_caption_request", "picture_fills", "track_language"]

ASS_NAME = "captions.ass"
# A voice's language (the start of its name: "en-US-GuyNeural", "de+m3",
# "fr_FR-siwis-medium") as the ISO 639-2 code an MP4 track carries.
_LANGUAGES = {"en": "eng", "de": "deu", "fr": "fra", "es": "spa", "it": "ita", "pt": "por", "nl": "nld",
              "pl": "pol", "ru": "rus", "ja": "jpn", "hi": "hin", "zh": "zho", "ko": "kor", "sv": "swe",
              "da": "dan", "fi": "fin", "no": "nor", "nb": "nob", "cs": "ces", "tr": "tur", "uk": "ukr",
              "el": "ell", "ar": "ara", "hu": "hun", "ro": "ron", "ca": "cat"}


def track_language(voice: str) -> str:
    """The ISO 639-2 code of `voice`'s language; "und" when not known."""
    match = re.match(r"([A-Za-z]{2,3})(?:$|[-_+])", voice)
    code = match.group(1).lower() if match else ""
    return _LANGUAGES.get(code, code if len(code) == 3 else "und")


def check_caption_request(mode: str, *, timings_known: bool, names: OutputNames) -> OutputNames:
    """Before anything is fetched: the mode is known, the word timings can
    be had, the font is there; the names with the caption files counted as
    results."""
    check_caption_choice(mode, "local" if timings_known else "configured", False, python=True)
    if mode == "burn" and not font_installed():
        raise OutputError("burned-in captions need the DejaVu fonts; install fonts-dejavu-core "
                          "(scripts/provision.sh does)")
    return names if names.captions else OutputNames(names.final, captions=True)


def picture_fills(frame: str | None, range_frames: Sequence[object] = ()) -> tuple[str, ...]:
    """How the recap shows the source, for the burned-in subtitles' rows:
    "cover" (a crop) and/or "inside" (the whole picture, over bars or blur)."""
    shown = {frame or "center", *(own for own in range_frames if isinstance(own, str) and own != "auto")}
    return tuple(sorted({"inside" if mode in ("fit", "blur") else "cover" for mode in shown}))


class CaptionPlan(Shaper):
    """One run's captions. `timings(count)`: the first `count` narrations'
    word timings; `narrations()`: the narrations as written (their marked
    words are coloured). `aspect`: the recap's; `fills()`: how it shows the
    source (`picture_fills`). `say`: a line for the run's progress.
    `made`: (file in the working folder, published name)."""

    def __init__(self, mode: str, names: OutputNames, speed: float,
                 timings: Callable[[int], Sequence[NarrationTiming]], look: CaptionLook | None = None,
                 voice: str = "", *, aspect: str = "9:16", fills: Callable[[], Sequence[str]] = lambda: ("cover",),
                 narrations: Callable[[], Sequence[str]] = lambda: (),
                 say: Callable[[str], None] = lambda line: None) -> None:
        super().__init__()
        self.mode: str = mode
        self._names, self._speed, self._timings = names, speed, timings
        self.look: CaptionLook = look or CaptionLook()
        self._aspect, self._fills, self._narrations, self._say = aspect, fills, narrations, say
        self._language = track_language(voice)
        self._srt: str | None = None

    def conversion(self, step: Conversion, join: RecapJoin) -> None:
        """The recap's conversion with the captions: drawn last on its
        picture (after the speed-up and the framing, so cue times and places
        are the recap's), or added as a track."""
        work = self.work_dir
        assert work is not None
        if self._srt is None:
            self._write(work, join.timeline, step.source)
        if self.mode == "burn":
            join.picture.set("captions", f"ass={ASS_NAME}:fontsdir={FONT_DIR}")
        elif self.mode == "track":
            track = join.extra_input("./" + os.path.basename(self._srt or ""))
            join.final_maps.append(f"{track}:0")
            join.final_options += ["-c:s", "mov_text", "-metadata:s:s:0", f"language={self._language}"]

    def _write(self, work: str, timeline: Timeline, source: str) -> None:
        narrations = list(self._narrations())
        timings = [marked_timing(timing, narrations[number]) if number < len(narrations) else timing
                   for number, timing in enumerate(self._timings(len(timeline.ranges)))]
        cues, drawn = styled_cues(timeline_cues(timings, timeline))
        for suffix, text in ((".srt", to_srt(cues)), (".vtt", to_vtt(cues))):
            name = self._names.caption_name(suffix)
            _write(os.path.join(work, name), text)
            self.made.append((os.path.join(work, name), name))
        self._srt = self.made[0][0]
        if self.mode == "burn":
            _write(os.path.join(work, ASS_NAME), to_ass(drawn, self.look, self._placement(source)))

    def _placement(self, source: str) -> Placement:
        """Where the drawn captions go: above burned-in subtitles they would cover."""
        from . import burned_subtitles
        from ..framing.frame_analysis import probe_picture

        if self.look.position == "top":  # the subtitles' band is in the lower part
            return placement(self.look, self._aspect)
        try:
            band = burned_subtitles.find_band(source, *probe_picture(source, runner=self.runner)[:2],
                                              runner=self.runner)  # the run's: a cancel ends them
        except (ValueError, KeyError, IndexError) as error:
            self._say(f"vantor: the picture could not be read for burned-in subtitles ({error}); "
                      f"the captions stay at the {self.look.position}")
            return placement(self.look, self._aspect)
        rows = burned_subtitles.on_picture(band, ASPECTS[self._aspect], self._fills()) if band else None
        place = placement(self.look, self._aspect, rows)
        if place.moved and band is not None:
            self._say(f"vantor: the source has subtitles burned into its picture ({band.top:.0%} to "
                      f"{band.bottom:.0%} of its height); the captions are drawn above them")
        return place

    def close(self) -> None:
        """The drawn captions' script is scratch: removed."""
        if self.work_dir is not None and os.path.exists(path := os.path.join(self.work_dir, ASS_NAME)):
            os.remove(path)


def _write(path: str, text: str) -> None:
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)
