"""How each narration fits its range, known before the engine runs.

What happens depends on the run's fit (`sound_step.FIT_MODES`): "extend"
lets a clip last the longer of its range and its narration (nothing is
lost before the video's end, known only after the download); "range" keeps
the range, so a narration longer than it loses its last words; "narration"
(the engine's own merge) ends each clip with its narration, so a long one
loses its last words and a short one cuts its range short. The speech
service speaks each narration here (it keeps the audio, so the run's own
requests for it are answered from its cache) and says, per segment, which
will happen; only lost words and a much shorter clip are warned.

Lengths are those of the ranges as written. The clip is cut by stream copy
from the key frame at or before the start, so it can run up to one key-frame
interval longer than its range; the report says so instead of guessing.
"""

from __future__ import annotations

import io
import threading
from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass, field
from typing import IO, TYPE_CHECKING

from ..captions.emphasis import spoken_text
from ..checks.preflight import PreflightError
from ..checks.segments_check import parse_time

if TYPE_CHECKING:
    from ...services import LocalServices, NarrationTiming
    from ..engine.options import RecapSpec
    from ..engine.services_choice import ServicesChoice

__all__ = ["KEY_FRAME_NOTE", "RANGE_SLACK", "FitError", "SegmentFit", "check_caption_choice", "extended", "fit_report",
           "fit_reports", "fit_timings", "measured_fit", "misfits", "refuse_misfits", "show_fits", "speaking_progress"]

# A range longer than its narration by less than this is not worth a
# warning: the cut loses a blink of picture.
RANGE_SLACK = 0.25
KEY_FRAME_NOTE = ("note: lengths are of the ranges as written; each clip is cut by stream copy from the key frame "
                  "at or before its start, so it can run up to one key-frame interval longer")

FITS, WORDS_CUT, RANGE_CUT = "fits", "words-cut", "range-cut"
_STOP_SLICE = 0.1  # how often a report waiting on speech looks for a cancellation


class FitError(PreflightError):
    """`--strict`: some narration does not fit its range."""


@dataclass(frozen=True)
class SegmentFit:
    """One segment: its range and its narration as the speech service spoke it."""

    number: int  # counted from 1
    range_length: float  # seconds from start to end, as ffmpeg reads them
    narration_length: float  # seconds of the narration's audio
    spoken_end: float  # where its last word ends (trailing silence excluded)
    backend: str
    timing: NarrationTiming | None = field(default=None, compare=False, repr=False)  # its words, for captions
    mode: str = "narration"  # the run's fit: "extend", "range" or "narration"

    @property
    def outcome(self) -> str:
        """"words-cut": the range ends before the last word does;
        "range-cut": the range outlasts the narration, and is cut to it;
        "fits": neither matters (with "extend", always before the download)."""
        if self.mode == "extend":
            return FITS
        if self.range_length < self.spoken_end:
            return WORDS_CUT
        if self.mode == "narration" and self.range_length > self.narration_length + RANGE_SLACK:
            return RANGE_CUT
        return FITS

    @property
    def clip_length(self) -> float:
        """How long the clip will last, before the speed-up: "extend" the
        longer of range and narration, "range" the range, "narration" the
        shorter of the two (the video's end, known after the download, may
        shorten any)."""
        if self.mode == "extend":
            return max(self.range_length, self.narration_length)
        if self.mode == "range":
            return self.range_length
        return min(self.range_length, self.narration_length)

    @property
    def past_range(self) -> float:
        """Seconds the clip plays past its range's end ("extend" only)."""
        return max(0.0, self.narration_length - self.range_length) if self.mode == "extend" else 0.0

    @property
    def past_range_note(self) -> str:
        return (f"segment {self.number}: the clip plays {self.past_range:.1f} s past its range's end, over the "
                f"source (the narration lasts {self.narration_length:.1f} s, the range {self.range_length:.1f} s)")

    @property
    def lost_words(self) -> tuple[str, ...]:
        """The words still being spoken when the clip ends ("range" and
        "narration"; "extend" loses none before the video's end)."""
        if self.mode == "extend" or self.timing is None:
            return ()
        return tuple(word.word for word in self.timing.words if word.end > self.range_length)

    @property
    def message(self) -> str:
        head = f"segment {self.number}: "
        if self.outcome == WORDS_CUT:
            over = self.narration_length - self.range_length
            return (head + f"the narration ({self.narration_length:.1f} s) is {over:.1f} s longer than its range "
                    f"({self.range_length:.1f} s): its last words will be cut; widen the range or shorten the text")
        if self.outcome == RANGE_CUT:
            return (head + f"the range ({self.range_length:.1f} s) will be cut to the narration "
                    f"({self.narration_length:.1f} s)")
        if self.mode == "extend" and self.narration_length > self.range_length:
            return head + (f"the narration ({self.narration_length:.1f} s) plays on past its range "
                           f"({self.range_length:.1f} s) over the source")
        return head + f"the narration ({self.narration_length:.1f} s) fits its range ({self.range_length:.1f} s)"

    def as_json(self) -> dict[str, object]:
        return {"segment": self.number, "range": round(self.range_length, 3),
                "narration": round(self.narration_length, 3), "spoken_end": round(self.spoken_end, 3),
                "outcome": self.outcome, "backend": self.backend, "message": self.message, "fit": self.mode,
                "past_range": round(self.past_range, 3)}


def range_length(segment: Mapping[str, object]) -> float:
    """Seconds between start and end, read as ffmpeg reads -ss and -to."""
    start, end = parse_time(str(segment["start"])), parse_time(str(segment["end"]))
    if start is None or end is None:
        raise PreflightError(f"the range {segment['start']!r} to {segment['end']!r} is not two times; "
                             "run vantor check on the segments first")
    return end - start


def segment_fit(number: int, segment: Mapping[str, object], timing: NarrationTiming,
                mode: str = "narration") -> SegmentFit:
    spoken_end = timing.words[-1].end if timing.words else timing.duration
    return SegmentFit(number, range_length(segment), timing.duration, spoken_end, timing.backend, timing, mode)


def fit_report(segments: Sequence[Mapping[str, object]], voice: str, services: LocalServices, *,
               on_segment: Callable[[int, int], None] | None = None, mode: str = "narration",
               stop: Callable[[], bool] | None = None) -> list[SegmentFit]:
    """Every segment's fit, in order. Each narration is spoken by the speech
    service of `services` in `voice`; `on_segment(number, count)` is called
    before each, as speaking can take a while. `stop()` True (asked between
    narrations and while one is spoken) ends the report with RunCancelled."""
    fits = []
    for number, segment in enumerate(segments, 1):
        _stop_if_asked(stop)
        if on_segment is not None:
            on_segment(number, len(segments))
        from ...services import SpeechError

        try:
            timing = _spoken(services, spoken_text(str(segment["voiceover"])), voice, stop)
        except SpeechError as error:
            raise PreflightError(f"segment {number}: the speech service could not speak the narration: {error}") from None
        fits.append(segment_fit(number, segment, timing, mode))
    return fits


def _stop_if_asked(stop: Callable[[], bool] | None) -> None:
    if stop is not None and stop():
        from ..engine.host import RunCancelled

        raise RunCancelled("the recap was cancelled")


def _spoken(services: LocalServices, text: str, voice: str, stop: Callable[[], bool] | None) -> NarrationTiming:
    """The narration's timing; with `stop`, asked on a thread of its own so
    that a cancellation need not wait for the speech (the service finishes
    it and keeps it in its cache; the answer is dropped)."""
    if stop is None:
        return services.narration_timing(text, voice)
    answer: list[NarrationTiming] = []
    failure: list[BaseException] = []

    def ask() -> None:
        try:
            answer.append(services.narration_timing(text, voice))
        except BaseException as error:  # handed to the report's thread
            failure.append(error)

    asking = threading.Thread(target=ask, name="vantor-fit-speech", daemon=True)
    asking.start()
    while asking.is_alive():
        _stop_if_asked(stop)
        asking.join(_STOP_SLICE)
    if failure:
        raise failure[0]
    return answer[0]


def misfits(fits: Sequence[SegmentFit]) -> list[SegmentFit]:
    return [fit for fit in fits if fit.outcome != FITS]


def extended(fits: Sequence[SegmentFit]) -> list[SegmentFit]:
    """The clips that "extend" plays past their range (by a tenth of a second or more, as shown)."""
    return [fit for fit in fits if round(fit.past_range, 1) > 0]


def refuse_misfits(fits: Sequence[SegmentFit]) -> None:
    """`--strict`: FitError naming the first misfit, when there is one."""
    wrong = misfits(fits)
    if wrong:
        more = f" (and {len(wrong) - 1} more)" if len(wrong) > 1 else ""
        raise FitError(f"{wrong[0].message}{more}; nothing was downloaded (without --strict these are warnings)")


def speaking_progress(out: IO[str] | io.TextIOBase | None) -> Callable[[int, int], None] | None:
    """`on_segment` that shows which narration is being spoken on `out`."""
    if out is None:
        return None

    def show(number: int, count: int) -> None:
        print(f"  speaking narration {number}/{count} for the fit report", file=out, flush=True)

    return show


def fit_reports(segment_lists: Sequence[Sequence[Mapping[str, object]] | None], voice: str, services: str | ServicesChoice, *,
                progress: IO[str] | None = None, mode: str = "narration") -> list[list[SegmentFit] | None]:
    """The fit report of each list of segments (None stays None), from the
    services `services` names (see `vantor.recap.engine.services_choice`); the
    configured hosts cannot say when words are spoken."""
    from ...services import start_local_services
    from ..checks.preflight import check_run_voice
    from ..engine.services_choice import resolve_services

    chosen = resolve_services(services)
    if chosen == "configured":
        raise PreflightError("the fit report needs the local speech service; pass --services local or the address "
                             "of a vantor serve")
    check_run_voice(voice, local=True)
    if all(segments is None for segments in segment_lists):
        return [None] * len(segment_lists)
    with start_local_services(None if chosen == "local" else chosen) as started:
        return [None if segments is None else fit_report(segments, voice, started, on_segment=speaking_progress(progress),
                                                         mode=mode)
                for segments in segment_lists]


# The report as a run uses it: shown before the engine runs (or refusing the
# run before the download under `strict`), its word timings handed on to the captions.

def check_caption_choice(captions: str | None, services: str, strict_fit: bool, *, python: bool = False) -> None:
    """Before any service is asked: captions (a mode `RecapSpec` checked)
    and the strict fit need word timings, which only the local speech
    service gives. `python`: the refusal names make_recap's arguments
    instead of the flags."""
    wants = "captions" if captions is not None else ("strict_fit" if python else "--strict") if strict_fit else None
    if wants and services == "configured":
        fix = "pass services=\"local\"" if python else "use --services local"
        raise PreflightError(f"{wants} need the local speech service's word timings; {fix} or the address of a "
                             "vantor serve")


def measured_fit(segments: Sequence[Mapping[str, object]], spec: RecapSpec, services: LocalServices | None,
                 out: IO[str] | io.TextIOBase, *, stop: Callable[[], bool] | None = None) -> list[SegmentFit] | None:
    """The fit report of `spec`'s voice and fit, its misfits shown on `out`
    (None without checked segments or local services); FitError under
    `spec.strict_fit` when one misfits. A service that cannot give it is a
    warning unless the captions need it. `stop()` True cancels it
    (RunCancelled) between and during narrations."""
    if not segments or services is None:
        return None
    strict, needed = spec.strict_fit, spec.captions is not None
    # The engine's own sound ends each clip with its narration.
    mode = "narration" if spec.sound is None else spec.sound.fit
    try:
        fits = fit_report(segments, spec.voice, services, on_segment=speaking_progress(out), mode=mode, stop=stop)
    except PreflightError as error:
        if strict or needed:
            raise
        print(f"warning: no fit report: {error}", file=out)
        return None
    if strict:
        refuse_misfits(fits)
    show_fits(fits, out)
    return fits


def show_fits(fits: Sequence[SegmentFit], out: IO[str] | io.TextIOBase, *, strict: bool = False,
              prefix: str = "") -> None:
    """A line per segment whose narration and range do not fit (errors
    under `strict`, else warnings), a note per clip that plays past its
    range, then the note on stream-copy cuts once; each line on `out`
    after `prefix`."""
    wrong = misfits(fits)
    for fit in wrong:
        print(f"{prefix}{'error' if strict else 'warning'}: {fit.message}", file=out)
    for fit in extended(fits):
        print(f"{prefix}note: {fit.past_range_note}", file=out)
    if wrong:
        print(f"{prefix}{KEY_FRAME_NOTE}", file=out)


def fit_timings(fits: Sequence[SegmentFit] | None) -> list[NarrationTiming] | None:
    if fits is None or any(fit.timing is None for fit in fits):
        return None
    return [fit.timing for fit in fits if fit.timing is not None]
