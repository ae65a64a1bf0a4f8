"""The studio's run log: the run's typed events in a video maker's words."""

from __future__ import annotations

import pytest

from vantor.recap.engine.host import RunEvent
from vantor.recap.engine.steps import Event
from vantor.services.client import Progress
from vantor.studio.run_log import event_words


def _step(kind: str, **numbers) -> RunEvent:
    return RunEvent("engine", "the engine's own line, never read", Event(kind, "ignored", **numbers))


@pytest.mark.parametrize("event, words, update", [
    (_step("requesting"), "Asking the download service for the video", False),
    (_step("job"), None, False), (_step("job-progress", percent=57.0), None, False),
    (_step("fetching"), "Downloading the video", False),
    (_step("downloaded", path="/tmp/x/.vantor-run-1/movie.mp4"), "The video is downloaded", False),
    (RunEvent("download", data=Progress(450, 12, 80, None, None)), "Downloading the video: 45%", True),
    (RunEvent("download", data=Progress(999, 80, 80, None, None, converting=0.456)),
     "Converting the source video to MP4: 45%", True),
    (RunEvent("download", data=Progress(1000, None, None, None, None)), "The video is already downloaded", False),
    (_step("segments", count=2), "Narrating and cutting 2 ranges", False),
    (_step("segment", index=0, count=2, start="00:00:04", end="6"), "Range 1 of 2: 00:00:04 to 6", False),
    (_step("concatenating"), "Joining the ranges", False),
    (_step("converting", speed=1.5), "Making the vertical video at 1.5x speed", False),
    (_step("fallback"), None, False), (_step("cleaning"), None, False),
    (_step("vertical", path="/p/out/FINAL_RECAP.mp4"), None, False),
    (RunEvent("line", "could not open /home/u/p/.vantor-run-x/clip_1.mp4 now"), "could not open clip_1.mp4 now", False),
    (RunEvent("line", "at http://127.0.0.1:5/files/secret.mp4"), "at http://127.0.0.1:5/...", False),
    (RunEvent("line", "\U0001F600"), None, False), (RunEvent("child", "ffmpeg -i x y"), None, False)])
def test_the_run_log_in_the_users_words(event, words, update):
    said = event_words(event)
    assert (None if said is None else (str(said), said.update)) == (None if words is None else (words, update))


def test_a_video_the_services_downloaded_ahead_is_not_downloaded_again_in_the_log():
    from vantor.studio.run_log import RunLog

    def said(events):
        log = RunLog()
        return [str(words) for words in map(log.words, events) if words is not None]

    engine = [_step("requesting"), _step("fetching"), _step("downloaded", path="/w/movie.mp4"), _step("segments", count=1)]
    cached = RunEvent("download", data=Progress(1000, None, None, None, None))
    assert said([cached, *engine]) == ["The video is already downloaded", "Taking the downloaded video into this recap",
                                       "The video is ready", "Narrating and cutting 1 ranges"]
    fetched = [RunEvent("download", data=Progress(p, p, 1000, None, None)) for p in (450, 1000)]
    assert said([*fetched, *engine])[2:4] == ["Taking the downloaded video into this recap", "The video is ready"]
    assert said(engine)[:3] == ["Asking the download service for the video", "Downloading the video",
                                "The video is downloaded"]  # a run the services did not fetch for


def test_the_final_timeline_says_where_each_range_plays():
    from vantor.recap.timeline.model import RangeTime, Timeline
    from vantor.studio.run_log import RunLog

    ranges = (RangeTime(1, 61.2, 66.85, 0.0, 5.65, "extended"), RangeTime(2, 80.0, 81.0, 5.65, 6.65))
    timeline = Timeline("film.mp4", 1280, 720, (25, 1), 1.0, 1080, 1920, ranges)
    log = RunLog()
    assert log.lines(RunEvent("timeline", "planned", timeline)) == []  # said once, as made
    assert log.lines(RunEvent("timeline", "final", timeline)) == [
        "Range 1 plays at 0.00-5.65 s of the recap", "Range 2 plays at 5.65-6.65 s of the recap"]
    assert log.lines(_step("concatenating")) == ["Joining the ranges"]
