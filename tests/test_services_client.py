"""The product's one services client against loopback stand-ins: a job
polled to its file, and every answer that is not the exchange's JSON read as
a one-line refusal (the services' bytes are untrusted)."""

from __future__ import annotations

import threading

import pytest

from standins.download_service import DownloadService
from standins.speech_service import SpeechService
from vantor.services.client import DownloadError, ServicesClient, SpeechError


def test_a_job_is_polled_to_its_file_or_stopped(tmp_path):
    with DownloadService(tmp_path / "v.mp4", step=400).start() as service:
        client, seen = ServicesClient(service.base_url + "/"), []
        assert client.download("https://e.org/v", on_progress=seen.append, poll_seconds=0) == service.file_url(1)
        assert [p.per_mille for p in seen] == [400, 800, 1000] and service.jobs == {1: "https://e.org/v"}
        stop = threading.Event()
        stop.set()
        assert client.download("https://e.org/w", stopped=stop.is_set) is None and service.polls[2] == 0


@pytest.mark.parametrize("job, poll, reason", [
    ({"body": "<html>"}, None, "HTTP 200 without its JSON"),
    ({"body": ["a list"]}, None, "without its JSON"),
    ({"body": {"success": True}}, None, "refused the video"),  # no progress address
    ({"body": {"success": False, "error": "private video"}}, None, "^private video$"),
    (None, {"body": {"success": False}}, "^the download failed$"),
    (None, {"status": 502, "body": b"\xff"}, "HTTP 502 without its JSON"),
])
def test_a_download_answer_out_of_the_exchange_is_one_line(tmp_path, job, poll, reason):
    with DownloadService(tmp_path / "v.mp4").start() as service:
        if job:
            service.script_job(**job)
        if poll:
            service.script_polls([poll])
        with pytest.raises(DownloadError, match=reason):
            ServicesClient(service.base_url).download("https://e.org/v", poll_seconds=0)


def test_speech_audio_and_its_refusals():
    with SpeechService().start() as service:
        client = ServicesClient(service.base_url)
        assert client.narration_audio("Hello.", "en-us") == service.audio_for("Hello.")
        for status, body, reason in [(503, {"error": "busy"}, "^busy$"),
                                     (200, {"audio_data": "x"}, "HTTP 200 without the narration's audio"),
                                     (200, {"audio_data": "data:audio/mpeg;base64,@@"}, "not base64"),
                                     (500, b"oops", "HTTP 500 without the narration's audio")]:
            service.script_answer(status, body)
            with pytest.raises(SpeechError, match=reason):
                client.narration_audio("Hello.", "en-us")
        service.script_answer(200, {"audio_data": "data:audio/mpeg;base64,AAAA"})  # audio, but no timing
        with pytest.raises(SpeechError, match="HTTP 200 without the narration's timing") as untimed:
            client.narration_timing("Hello.", "en-us")
        # Only the service's own reason is a refusal: an answer without one may come from a service
        # that speaks but gives no timings.
        service.script_answer(500, {"error": "espeak-ng stopped"})
        with pytest.raises(SpeechError, match="^espeak-ng stopped$") as refused:
            client.narration_timing("Hello.", "en-us")
        assert (untimed.value.refused, refused.value.refused) == (False, True)
