"""How a run's progress looks on a pipe and on a terminal: the engine's
steps reach the run's host as typed events, and the view renders them (no
process stream is redirected)."""

from __future__ import annotations

import io
import os
import re
import subprocess
import time
from types import SimpleNamespace

import pytest

from vantor.recap.engine.progress_view import plain_text, showing_progress
from vantor.recap.engine.host import RunEvent, RunHost
from vantor.recap.engine.steps import Conversion, Event

DOWNLOAD = [Event("requesting", "\U0001F4E5 Requesting download from server..."),
            Event("job", "\u23F3 Processing job 7...", job=7),
            *(Event("job-progress", f"\r  {n}%", percent=float(n)) for n in (0, 50, 100)),
            Event("fetching", "\n\u2B07\uFE0F  Downloading video...")]
FALLBACK = Event("fallback", "  (GPU unavailable, using CPU encoder...)")


class Terminal(io.StringIO):
    def __init__(self, encoding: str = "utf-8") -> None:
        super().__init__()
        self._encoding = encoding

    @property
    def encoding(self) -> str:  # type: ignore[override]
        return self._encoding

    def isatty(self) -> bool:
        return True


def a_host(view) -> RunHost:
    return RunHost(emit=view.on_event, local=False)


def printed(view_stream, events, **options):
    with showing_progress(view_stream, **options) as view:
        host = a_host(view)
        for event in events:
            host.event(event)
    return view


def test_pipe_gets_plain_lines_and_the_last_job_figure():
    pipe = io.StringIO()
    view = printed(pipe, DOWNLOAD + [FALLBACK])
    assert pipe.getvalue().splitlines() == [
        "\U0001F4E5 Requesting download from server...", "\u23F3 Processing job 7...", "  100%",
        "\u2B07\uFE0F  Downloading video..."]  # the fallback note only when verbose
    assert view.lines[-1] == "  (GPU unavailable, using CPU encoder...)"


def test_terminal_gets_a_bar_for_the_download_job():
    tty = Terminal()
    view = printed(tty, DOWNLOAD)
    shown = tty.getvalue()
    assert "\r  download job [" + "." * 30 + "]   0%" in shown
    assert "\r  download job [###############...............]  50%" in shown
    assert shown.count("50%") == 1  # drawn once per change
    # The last figure's bar stays as the job's line instead of the engine's bare "  100%".
    assert shown.endswith("\r  download job [" + "#" * 30 + "] 100%\n\u2B07\uFE0F  Downloading video...\n")
    assert "\n  100%" not in shown


@pytest.mark.parametrize("encoding, line, shown", [
    ("ascii", "\U0001F3AC Processing 2 segments...", "Processing 2 segments..."),
    ("ascii", "  Segment 1/2: 1 \u2192 2", "  Segment 1/2: 1 -> 2"),
    ("ascii", "\u2B07\uFE0F  Downloading video...", "Downloading video..."),
    ("latin-1", "\u2705 Done! Vertical Output: caf\u00e9/FINAL_RECAP.mp4", "Done! Vertical Output: caf\u00e9/FINAL_RECAP.mp4"),
    ("utf-8", "\u2705 Done!", "\u2705 Done!")])
def test_symbols_only_where_the_stream_can_encode_them(encoding, line, shown):
    assert plain_text(line, encoding) == shown
    tty = Terminal(encoding)
    printed(tty, [Event("segment", line)], live=False)
    assert tty.getvalue() == shown + "\n"


@pytest.mark.slow
def test_conversion_bar_follows_ffmpeg_and_the_encoder_is_the_one_that_succeeded(tmp_path):
    """The bar reads the time stamps of the conversion's own ffmpeg, which
    alone is given FFREPORT; this process's environment is left alone."""
    subprocess.run(["ffmpeg", "-v", "error", "-f", "lavfi", "-i", "testsrc=d=6:s=320x240:r=25",
                    str(tmp_path / "horizontal_final.mp4")], check=True)
    tty = Terminal()
    saved = os.environ.get("FFREPORT")
    seen_env = []
    source, target = str(tmp_path / "horizontal_final.mp4"), str(tmp_path / "FINAL_RECAP.mp4")
    with showing_progress(tty) as view:
        host = a_host(view)
        host.event(Event("converting", "\U0001F4D0 Converting to 9:16 vertical at 2x speed...", speed=2.0))
        assert host.conversion(Conversion(["ffmpeg", "-y", "-loglevel", "error", "-re", "-i", source, "-vf",
                                           "setpts=0.5*PTS", "-c:v", "libx264", "-preset", "ultrafast", target],
                                          source, target, 2.0, "libx264", True)) == 0
        seen_env.append(os.environ.get("FFREPORT"))
        time.sleep(0.6)
        host.event(Event("cleaning", "\U0001F9F9 Cleaning up..."))
    bars = [int(figure) for figure in re.findall(r"\r  converting \[[#.]{30}\] +(\d+)%", tty.getvalue())]
    assert bars and bars == sorted(bars) and bars[-1] >= 95, tty.getvalue()
    assert seen_env == [saved] and os.environ.get("FFREPORT") == saved
    assert tty.getvalue().endswith("\U0001F9F9 Cleaning up...\n") and host.encoder == "libx264"
    # A conversion that fails names no encoder; the fallback that then succeeds does.
    other = a_host(view)
    missing = str(tmp_path / "missing.mp4")
    assert other.conversion(Conversion(["ffmpeg", "-v", "quiet", "-i", missing, "-c:v", "h264_nvenc", target],
                                       missing, target, 2.0, "h264_nvenc", False)) != 0
    assert other.encoder is None


def _fetching(per_mille, done, total=4 * 1024 * 1024, speed=2 * 1024 * 1024, eta=1.0):
    from vantor.services import Progress

    return Progress(per_mille, done, total, speed, eta)


def test_local_download_on_a_pipe_is_a_line_now_and_then_and_its_last_figure(monkeypatch):
    import vantor.recap.engine.progress_view as progress

    clock = iter([0.0, 1.0, 2.0, 11.0, 12.0])
    monkeypatch.setattr(progress, "time", SimpleNamespace(monotonic=lambda: next(clock)))
    pipe = io.StringIO()
    with showing_progress(pipe) as view:
        for step in (_fetching(0, 0), _fetching(250, 1024**2), _fetching(500, 2 * 1024**2),
                     _fetching(750, 3 * 1024**2)):
            view.show_download(step)
        view.show_download(_fetching(1000, 4 * 1024**2, eta=None))
        view.end_download()
    # The first figure, the one 10 s later, then the end (never the same line twice).
    assert pipe.getvalue().splitlines() == [
        "  downloading: 0% 0 B of 4.0 MiB, 2.0 MiB/s, 0:01 left",
        "  downloading: 75% 3.0 MiB of 4.0 MiB, 2.0 MiB/s, 0:01 left",
        "  downloading: 100% 4.0 MiB of 4.0 MiB, 2.0 MiB/s"]


def test_local_download_on_a_terminal_is_a_live_bar_with_bytes_speed_and_time_left():
    tty = Terminal()
    with showing_progress(tty) as view:
        view.show_download(_fetching(500, 2 * 1024**2, total=None, speed=None, eta=None))
        view.show_download(_fetching(900, 3 * 1024**2 + 512 * 1024, eta=65))
        view.show_download(_fetching(1000, 4 * 1024**2, eta=None))
        view.end_download()
        view.on_event(RunEvent("line", "\U0001F4E5 Requesting download from server..."))
    assert tty.getvalue() == (
        "\r  downloading [" + "#" * 15 + "." * 15 + "]  50% 2.0 MiB of ?"
        "\r  downloading [" + "#" * 27 + "." * 3 + "]  90% 3.5 MiB of 4.0 MiB, 2.0 MiB/s, 1:05 left"
        "\r  downloading [" + "#" * 30 + "] 100% 4.0 MiB of 4.0 MiB, 2.0 MiB/s" + " " * len(", 1:05 left") + "\n"
        "\U0001F4E5 Requesting download from server...\n")


def test_local_download_shows_nothing_when_quiet():
    with showing_progress(None) as view:
        view.show_download(_fetching(1000, 10))
        view.end_download()
        view.on_event(RunEvent("line", "\u2705 Done!"))
    assert view.lines == ["\u2705 Done!"]


@pytest.mark.parametrize("stream", [io.StringIO(), Terminal()], ids=["pipe", "terminal"])
def test_a_cached_video_is_said_to_be_there_not_counted(stream):
    from vantor.services import Progress

    with showing_progress(stream) as view:
        view.show_download(Progress(1000, None, None, None, None))  # complete at the first poll
        view.end_download()
    assert stream.getvalue() == "  downloading: already downloaded\n"


def test_verbose_shows_the_commands_and_the_fallback_note(tmp_path):
    quiet_pipe, verbose_pipe = io.StringIO(), io.StringIO()
    for pipe, verbose in ((quiet_pipe, False), (verbose_pipe, True)):
        with showing_progress(pipe, verbose=verbose) as view:
            host = a_host(view)
            host.run_child(["ffmpeg", "-v", "error", "-i", str(tmp_path / "no such.mp4"), "-f", "null", "-"],
                           captured=True)
            host.event(FALLBACK)
    assert quiet_pipe.getvalue() == ""  # no news on a machine that never had a GPU
    command, captured, note = verbose_pipe.getvalue().splitlines()
    assert command == f"  $ ffmpeg -v error -protocol_whitelist file,pipe -i '{tmp_path}/no such.mp4' -f null -"
    assert captured.startswith("    ") and "no such.mp4" in captured and note == FALLBACK.text


def test_the_services_rewrite_to_mp4_is_its_own_line_at_once_and_its_own_bar(monkeypatch):
    import vantor.recap.engine.progress_view as progress
    from vantor.services import Progress

    clock = iter([0.0, 1.0, 2.0])
    monkeypatch.setattr(progress, "time", SimpleNamespace(monotonic=lambda: next(clock)))
    pipe, tty = io.StringIO(), Terminal()
    for stream in (pipe, tty):
        with showing_progress(stream) as view:
            view.show_download(_fetching(900, 4 * 1024**2))
            view.show_download(Progress(945, 4 * 1024**2, 4 * 1024**2, None, None, converting=0.45))
            view.show_download(Progress(950, 4 * 1024**2, 4 * 1024**2, None, None, converting=0.5))
    assert pipe.getvalue().splitlines()[1:] == ["  converting the source video to MP4: 45%",
                                                "  converting the source video to MP4: 50%"]  # the last figure
    assert "\r  converting the source video to MP4 [" + "#" * 15 + "." * 15 + "]  50%\r" in tty.getvalue()


def test_verbose_shows_each_ranges_place_from_the_planned_timeline(tmp_path):
    from dataclasses import replace

    from vantor.recap.engine.progress_view import timeline_lines
    from vantor.recap.timeline.timeline_plan import RunTimeline

    film = str(tmp_path / "film.mp4")
    subprocess.run(["ffmpeg", "-v", "error", "-f", "lavfi", "-i", "testsrc2=d=2:size=64x64:rate=25", film], check=True)
    segments = [{"start": "0.5", "end": "1.01"}, {"start": "1.2", "end": "1.6"}]
    shown: dict[bool, io.StringIO] = {}
    for verbose in (False, True):
        seen: list[RunEvent] = []
        shown[verbose] = io.StringIO()
        with showing_progress(shown[verbose], verbose=verbose) as view:
            host = RunHost(emit=lambda event: (seen.append(event), view.on_event(event)), local=False,
                           timeline=RunTimeline(lambda: segments, speed=2.0, fit="range"))
            host.event(Event("downloaded", "downloaded", path=film))
    planned = [event.data for event in seen if event.kind == "timeline"]
    assert [event.text for event in seen if event.kind == "timeline"] == ["planned"]
    # Whole frames at 25 fps: 0.5 s starts on frame 13, 1.01 s ends before frame 26; at 2x speed.
    assert shown[True].getvalue().splitlines()[-3:] == [
        "  the recap's timeline, planned: 0.46 s",
        "    range 1: 0.00-0.26 s of the recap, from 0.52 s of the film",
        "    range 2: 0.26-0.46 s of the recap, from 1.20 s of the film"]
    assert "range 1" not in shown[False].getvalue()  # the detail only when verbose
    extended = replace(planned[0], ranges=(replace(planned[0].ranges[0], fit="extended"),))
    assert timeline_lines(extended, "final")[0].startswith("  the recap's timeline, as made:")
    assert timeline_lines(extended, "final")[1].endswith("of the film, extended")
