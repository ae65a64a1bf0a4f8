"""A cancelled run's fit report stops between narrations and while one is
spoken (a stand-in service whose speech takes as long as the test says: the
real one cannot be made slow on purpose)."""

from __future__ import annotations

import threading
import time

import pytest

from vantor.recap.fit.fit_report import fit_report
from vantor.recap.engine.host import RunCancelled
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
    stopped, slow, quick = threading.Event(), SlowSpeech(5.0), SlowSpeech(0.0)
    threading.Timer(0.3, stopped.set).start()
    started = time.monotonic()
    with pytest.raises(RunCancelled):  # during the first narration's speech
        fit_report(SEGMENTS, "en-us", slow, stop=stopped.is_set)
    assert time.monotonic() - started < 1.5 and slow.asked == ["One."]
    with pytest.raises(RunCancelled):  # between the two narrations
        fit_report(SEGMENTS, "en-us", quick, stop=lambda: len(quick.asked) >= 1)
    assert quick.asked == ["One."] and len(fit_report(SEGMENTS, "en-us", quick, stop=lambda: False)) == 2
    with pytest.raises(Exception, match="segment 1: the speech service could not speak the narration: no voice"):
        fit_report(SEGMENTS, "en-us", SlowSpeech(0.0, fail=True), stop=lambda: False)
