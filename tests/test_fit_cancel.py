"""A cancelled run's fit report stops between narrations and while one is
being spoken, instead of waiting for the speech (a stand-in service whose
speech takes as long as the test says: the real one cannot be made slow)."""

from __future__ import annotations

import threading
import time

import pytest

from vantor.recap.fit_report import fit_report
from vantor.recap.host import RunCancelled
from vantor.services import NarrationTiming, SpeechError

SEGMENTS = [{"start": "0", "end": "2", "voiceover": "One."}, {"start": "3", "end": "5", "voiceover": "Two."}]


class SlowSpeech:
    def __init__(self, seconds: float, fail: bool = False) -> None:
        self.seconds, self.fail, self.asked = seconds, fail, []

    def narration_timing(self, text: str, voice: str) -> NarrationTiming:
        self.asked.append(text)
        time.sleep(self.seconds)
        if self.fail:
            raise SpeechError("no voice")
        return NarrationTiming(1.0, (), "test")


def test_the_fit_report_stops_when_asked():
    stopped = threading.Event()
    slow = SlowSpeech(5.0)
    threading.Timer(0.3, stopped.set).start()
    started = time.monotonic()
    with pytest.raises(RunCancelled):
        fit_report(SEGMENTS, "en-us", slow, stop=stopped.is_set)  # during the first narration's speech
    assert time.monotonic() - started < 1.5 and slow.asked == ["One."]
    quick = SlowSpeech(0.0)
    asked_once = lambda: len(quick.asked) >= 1  # noqa: E731 - between the two narrations
    with pytest.raises(RunCancelled):
        fit_report(SEGMENTS, "en-us", quick, stop=asked_once)
    assert quick.asked == ["One."]
    assert [f.narration_length for f in fit_report(SEGMENTS, "en-us", quick, stop=lambda: False)] == [1.0, 1.0]
    with pytest.raises(Exception, match="segment 1: the speech service could not speak the narration: no voice"):
        fit_report(SEGMENTS, "en-us", SlowSpeech(0.0, fail=True), stop=lambda: False)
