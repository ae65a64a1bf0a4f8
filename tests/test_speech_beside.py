"""The narrations are spoken while the video downloads: asked for before
it ends, two at once, each spoken once for the fit report and the run; a
narration the service refuses ends the download and the run at once, with
the speech's message and no child left. The download is real (yt-dlp on a
loopback site that serves slowly) and so is the speech, save where a test
must make it fail or count it."""

from __future__ import annotations

import threading
import time

import pytest

import vantor
from vantor.recap.engine.host import RunCancelled
from vantor.services.espeak_backend import SpeechFailed
from vantor.services.narrator import Narrator

from slow_site import SlowSite

psutil = pytest.importorskip("psutil")

SEGMENTS = [{"start": "0", "end": "1.5", "voiceover": "One."}, {"start": "2", "end": "3.5", "voiceover": "Two."},
            {"start": "4", "end": "5.5", "voiceover": "Three."}]


@pytest.fixture(scope="module")
def video(tmp_path_factory):
    from vantor.demo.source_video import make_source_video

    return make_source_video(str(tmp_path_factory.mktemp("film") / "film.mp4"), seconds=6.0, size="320x180")


@pytest.fixture
def speaking(monkeypatch, tmp_path):
    """Each narration the service speaks, and how many it spoke at most at once."""
    monkeypatch.setenv("VANTOR_CACHE_DIR", str(tmp_path / "cache"))
    real, lock = Narrator.speak, threading.Lock()
    seen = {"texts": [], "now": 0, "most": 0, "fail": None}

    def speak(self, text, voice):
        with lock:
            seen["texts"].append(text)
            seen["now"] += 1
            seen["most"] = max(seen["most"], seen["now"])
        try:
            time.sleep(0.4)  # long enough for the speakers to overlap
            if text == seen["fail"]:
                raise SpeechFailed("espeak-ng stopped")
            return real(self, text, voice)
        finally:
            with lock:
                seen["now"] -= 1

    monkeypatch.setattr(Narrator, "speak", speak)
    return seen


def _children(since: float) -> list[str]:
    found = []
    for child in psutil.Process().children(recursive=True):
        try:
            if child.create_time() >= since - 1 and child.status() != psutil.STATUS_ZOMBIE:
                found.append(" ".join(child.cmdline()))
        except psutil.NoSuchProcess:
            pass
    return found


@pytest.mark.slow
def test_the_narrations_are_spoken_two_at_once_while_the_video_downloads_and_once_only(video, speaking, tmp_path):
    events = []
    with SlowSite(video, seconds=4.0) as site:
        made = vantor.make_recap(site.address, SEGMENTS, voice="en-us", services="local", output_dir=tmp_path,
                                 quiet=True, on_event=events.append)
    order = [(e.kind, e.text) for e in events if e.kind in ("speech", "stage")]
    downloaded = order.index(("stage", "downloaded"))
    asked = [i for i, (kind, text) in enumerate(order) if kind == "speech" and not text.endswith("spoken")]
    assert len(asked) == 3 and max(asked) < downloaded, order
    assert order.index(("stage", "download")) < min(asked)
    # Two at once, as the service speaks them; the engine's own requests found them made.
    assert speaking["most"] == 2 and sorted(speaking["texts"]) == ["One.", "Three.", "Two."]
    assert made.final.stat().st_size > 0 and [v["engine"] for v in made.voices] == ["espeak-ng"] * 3


@pytest.mark.slow
def test_a_refused_narration_ends_the_download_and_the_run_at_once(video, speaking, tmp_path):
    speaking["fail"] = "One."  # the other speaker is then still speaking "Two."
    started = time.time()
    with SlowSite(video, seconds=30.0) as site:
        with pytest.raises(vantor.PreflightError) as failed:
            vantor.make_recap(site.address, SEGMENTS, voice="en-us", services="local", output_dir=tmp_path / "out",
                              mkdir=True, quiet=True)
        assert not site.served.is_set()
    assert str(failed.value) == "segment 1: the speech service could not speak the narration: espeak-ng stopped"
    assert time.time() - started < 15  # not after the 30 s download
    assert _children(started) == [] and not (tmp_path / "out").exists()
    assert "Three." not in speaking["texts"]  # nothing asked after the failure


class _Speaker:
    """A speech service whose answer the test chooses: the real one cannot be made to lack timings."""

    def __init__(self, error=None):
        self.error, self.asked = error, []

    def narration_timing(self, text, voice):
        from vantor.services import NarrationTiming

        self.asked.append(text)
        if self.error is not None:
            raise self.error
        return NarrationTiming(1.0, (), "espeak-ng")


@pytest.mark.parametrize("refused, needed, ends", [(False, False, False), (True, False, True), (False, True, True)])
def test_only_a_service_without_timings_leaves_a_warning(refused, needed, ends):
    import io

    from vantor.recap.fit.speech_beside import SpeechBeside
    from vantor.services import SpeechError

    out, speaker = io.StringIO(), _Speaker(SpeechError("no timing here", refused=refused))
    speech = SpeechBeside(SEGMENTS, "en-us", speaker, out, needed=needed, speakers=1).start()
    if ends:
        with pytest.raises(vantor.PreflightError, match="^segment 1: the speech service could not speak the "
                                                        "narration: no timing here$"):
            speech.timings(lambda event: None, lambda: False)
    else:
        assert speech.timings(lambda event: None, lambda: False) is None
        assert out.getvalue() == ("warning: no fit report: segment 1: the speech service could not speak the "
                                  "narration: no timing here\n")
    assert speaker.asked == ["One."]  # none asked after the first failure
    fine = SpeechBeside(SEGMENTS, "en-us", _Speaker(), io.StringIO()).start()
    assert [t.duration for t in fine.timings(lambda event: None, lambda: False)] == [1.0] * 3


def test_a_failed_download_stops_the_asking():
    import io

    from vantor.recap.fit.speech_beside import SpeechBeside

    speaker = _Speaker()
    speech = SpeechBeside(SEGMENTS, "en-us", speaker, io.StringIO(), speakers=1)
    real = speaker.narration_timing
    speaker.narration_timing = lambda text, voice: (speech.halt(), real(text, voice))[1]  # the download fails now
    with pytest.raises(RunCancelled):  # the report stopped short is no report
        speech.start().timings(lambda event: None, lambda: False)
    assert speaker.asked == ["One."]
