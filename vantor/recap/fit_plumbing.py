"""The fit report and the captions as a recap run uses them: the report
shown before the engine runs (or refusing the run before the download under
`strict`), and its word timings handed on to the captions."""

from __future__ import annotations

import io
from collections.abc import Callable, Mapping, Sequence
from typing import IO, TYPE_CHECKING

from .fit_report import KEY_FRAME_NOTE, SegmentFit, extended, fit_report, misfits, refuse_misfits, speaking_progress
from .preflight import PreflightError

if TYPE_CHECKING:
    from ..services import LocalServices, NarrationTiming
    from .options import RecapSpec

__all__ = ["check_caption_choice", "fit_timings", "measured_fit", "show_fits"]


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


def show_fits(fits: Sequence[SegmentFit], out: IO[str] | io.TextIOBase) -> None:
    """The report's misfits and clips played past their range, on `out`."""
    wrong = misfits(fits)
    for fit in wrong:
        print(f"warning: {fit.message}", file=out)
    for fit in extended(fits):
        print(f"note: {fit.past_range_note}", file=out)
    if wrong:
        print(KEY_FRAME_NOTE, file=out)


def fit_timings(fits: Sequence[SegmentFit] | None) -> list[NarrationTiming] | None:
    if fits is None or any(fit.timing is None for fit in fits):
        return None
    return [fit.timing for fit in fits if fit.timing is not None]
