"""`RecapSpec`: what one recap is asked to be, as one checked value.

The command line, `vantor.make_recap`, batch's jobs and the studio each
build one from what their user typed; the checks that need no service run
here, once, when it is made, and it reaches `prepare`, the fit report and
`EngineRun` as it is. A refusal is an `OptionError` that names its option,
so each front end can word it as its users know it (a flag, an argument, a
member of a jobs line, a field of the page).

The checks that depend on where the run speaks (a voice the speech service
has, captions needing its word timings) are `prepare`'s.
"""

from __future__ import annotations

import os
from collections.abc import Callable
from dataclasses import dataclass, fields
from typing import Any

from ..captions.caption_layout import CAPTION_POSITIONS, DEFAULT_POSITION, DEFAULT_SIZE, CaptionLook, check_caption_size
from ..captions.cues import CAPTION_MODES, CAPTION_STYLES
from ..framing.modes import ASPECTS, DEFAULT_ASPECT, DEFAULT_FRAME, FRAME_MODES, check_framing, code_spelling
from ..checks.preflight import PYTHON, PreflightError, Wording, check_speed
from ..sound.sound_step import DEFAULT_LOUDNESS, SoundChoice
from ...services.voices import DEFAULT_VOICE

__all__ = ["OptionError", "RecapSpec", "frame_name"]

def frame_name(frame: object) -> object:
    """The frame mode in the code's spelling ("centre" is "center"); anything else as it is."""
    return code_spelling(frame)


class OptionError(PreflightError):
    """One option that cannot work. `option`: its name as RecapSpec calls
    it; `value`: as given; `reason`: what is wrong, in words; `expected`:
    set when the value is of the wrong type (the type wanted, in words);
    `needs`: the option it only works with, when that one is missing.
    str(): the refusal as a Python caller reads it (`worded`)."""

    def __init__(self, option: str, value: object, reason: str, *, expected: str | None = None,
                 needs: str | None = None) -> None:
        self.option: str = option
        self.value: object = value
        self.reason: str = reason
        self.expected: str | None = expected
        self.needs: str | None = needs
        super().__init__(self.worded(PYTHON))

    def worded(self, wording: Wording) -> str:
        """The refusal as `vantor recap` (COMMAND_LINE) or `make_recap` (PYTHON) says it."""
        python = wording is PYTHON
        modes = "captions=" if python else "--captions "
        if self.option == "caption_style" and self.expected is None:
            name = "caption_style" if python else "--caption-style"
            if self.needs:
                return f"{name} {self.value} styles captions; add {modes}burn (or files, track)"
            return f"{name} must be one of {', '.join(CAPTION_STYLES)}, not {self.value!r}"
        if self.option in ("caption_position", "caption_size") and self.needs:
            name = "caption_position/caption_size" if python else "--caption-position/--caption-size"
            return f"{name} place captions; add {modes}burn"
        if self.option in ("caption_position", "caption_size", "frame", "aspect") and self.expected is None:
            return f"{self.reason}; choose one of those"
        return self.reason


def _number(value: object) -> bool:
    return isinstance(value, (int, float)) and not isinstance(value, bool)


def _str(value: object) -> bool:
    return isinstance(value, str)


def _str_or_none(value: object) -> bool:
    return value is None or isinstance(value, str)


# Each option's type and the type a refusal names; a bool is no number (speed=True would run at 1x).
_TYPES: dict[str, tuple[Callable[[object], bool], str]] = {
    "voice": (_str, "a str"),
    "speed": (_number, "a number (int or float)"),
    "captions": (_str_or_none, "a str or None"),
    "strict_fit": (lambda value: isinstance(value, bool), "a bool"),
    "caption_style": (_str_or_none, "a str or None"),
    "caption_position": (_str, "a str"),
    "caption_size": (lambda value: isinstance(value, str) or _number(value), "a str or a number"),
    "frame": (_str, "a str"),
    "aspect": (_str, "a str"),
    "source_audio": (_str, "a str"),
    "music": (lambda value: value is None or isinstance(value, (str, os.PathLike)), "a str, os.PathLike or None"),
    "loudness": (_number, "a number (int or float)"),
    "fit": (_str, "a str"),
}


# The options whose value check words a value of the wrong type too ("speed must be a number, not str").
_OWN_TYPE_CHECK = frozenset({"speed", "captions", "caption_style", "caption_position", "caption_size", "frame",
                             "aspect"})


@dataclass(frozen=True)
class RecapSpec:
    """One recap's options, checked and in one spelling when made
    (OptionError otherwise): a RecapSpec that exists can be run.

    `captions`: None or one of `captions.CAPTION_MODES`; `caption_style`:
    one of `captions.CAPTION_STYLES` with captions (None: "clean"), None
    without; `caption_position`, `caption_size`: as `caption_layout` keeps
    them ("120" is "120%"). `frame`: one of `framing.FRAME_MODES`
    ("centre" is "center"), `aspect`: of `framing.ASPECTS`. The sound:
    `source_audio`, `music` (a file or folder), `loudness` (LUFS), `fit`
    (`sound_step.SoundChoice`). `strict_fit`: a narration that does not fit
    its range refuses the run. `plain`: the engine's own picture and sound
    (its centre crop to 9:16, the narration alone), as a host calling it
    directly gets; `frame`, `aspect` and the sound are then not used."""

    voice: str = DEFAULT_VOICE
    speed: float = 1.0
    captions: str | None = None
    caption_style: str | None = None
    caption_position: str = DEFAULT_POSITION
    caption_size: str = DEFAULT_SIZE
    frame: str = DEFAULT_FRAME
    aspect: str = DEFAULT_ASPECT
    source_audio: str = "duck"
    music: str | None = None
    loudness: float = DEFAULT_LOUDNESS
    fit: str = "extend"
    strict_fit: bool = False
    plain: bool = False

    def __post_init__(self) -> None:
        wrong = {name: expected for name, (fits, expected) in _TYPES.items() if not fits(getattr(self, name))}
        for name, expected in wrong.items():
            if name not in _OWN_TYPE_CHECK:
                value = getattr(self, name)
                raise OptionError(name, value, f"{name} must be {expected}, not {type(value).__name__}",
                                  expected=expected)
        try:
            normalised = self._normalised()
        except OptionError as error:
            error.expected = wrong.get(error.option)  # said in the words of its value's check
            raise
        for name, value in normalised.items():
            object.__setattr__(self, name, value)

    def _normalised(self) -> dict[str, object]:
        """Each option in the one form the run reads, in the order a refusal
        is looked for; OptionError for the first that cannot work."""
        speed = _checked("speed", self.speed, check_speed)
        if self.captions is not None and self.captions not in CAPTION_MODES:
            raise OptionError("captions", self.captions,
                              f"captions must be one of {', '.join(CAPTION_MODES)}, not {self.captions!r}")
        style = self.caption_style
        if style is not None and style not in CAPTION_STYLES:
            raise OptionError("caption_style", style,
                              f"caption_style must be one of {', '.join(CAPTION_STYLES)}, not {style!r}")
        if style is not None and self.captions is None:
            raise OptionError("caption_style", style, "caption_style styles captions", needs="captions")
        if self.caption_position not in CAPTION_POSITIONS:
            raise OptionError("caption_position", self.caption_position,
                              f"the caption position must be one of {', '.join(CAPTION_POSITIONS)}, "
                              f"not {self.caption_position!r}")
        size = _checked("caption_size", self.caption_size, check_caption_size)
        if self.captions is None and (self.caption_position, size) != (DEFAULT_POSITION, DEFAULT_SIZE):
            option = "caption_position" if self.caption_position != DEFAULT_POSITION else "caption_size"
            raise OptionError(option, getattr(self, option), "the caption look places captions", needs="captions")
        frame = frame_name(self.frame)
        try:
            check_framing(frame, self.aspect)
        except ValueError as error:
            option = "frame" if frame not in FRAME_MODES else "aspect"
            raise OptionError(option, getattr(self, option), str(error)) from None
        music = None if self.music is None else os.fspath(self.music)
        sound = SoundChoice(self.source_audio, music, float(self.loudness), self.fit)
        try:
            sound.check()
        except ValueError as error:
            raise OptionError("sound", sound, str(error)) from None
        return {"speed": speed, "caption_style": "clean" if style is None and self.captions else style,
                "caption_size": size, "frame": frame, "music": music, "loudness": float(self.loudness)}

    # -- what the run's parts read ----------------------------------------

    @property
    def look(self) -> CaptionLook:
        """How burned-in captions look."""
        return CaptionLook(self.caption_style or "clean", self.caption_position, self.caption_size)

    @property
    def sound(self) -> SoundChoice | None:
        """The run's sound; None: the engine's own (narration only)."""
        if self.plain:
            return None
        return SoundChoice(self.source_audio, self.music, self.loudness, self.fit)

    @property
    def size(self) -> tuple[int, int]:
        """The recap's width and height."""
        return ASPECTS[self.aspect]

    def as_json(self) -> dict[str, object]:
        """Every option by its name, as JSON can hold it."""
        return {field.name: getattr(self, field.name) for field in fields(self)}


def _checked(option: str, value: object, check: Callable[[Any], object]) -> object:
    try:
        return check(value)
    except (PreflightError, ValueError) as error:
        raise OptionError(option, value, str(error)) from None
