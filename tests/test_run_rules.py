"""The rules a run is judged by, each in its one home: the speed bound, the
`--services` choice, and the reading of a failure as transient (worth
another attempt) or permanent."""

from __future__ import annotations

import math
import subprocess
import sys
from pathlib import Path

import pytest
import requests

from vantor.recap.checks.preflight import MAX_SPEED, MIN_SPEED, PreflightError, check_speed
from vantor.recap.engine.failures import classify, is_transient
from vantor.recap.engine.services_choice import (ServicesChoice, ServicesChoiceError, check_services_choice,
                                                 resolve_services)
from vantor.services import DownloadError

ROOT = Path(__file__).resolve().parents[1]


@pytest.mark.parametrize("speed", [0.5, 1, 2.5, 4.0])
def test_speeds_within_the_bound(speed):
    assert check_speed(speed) == speed


@pytest.mark.parametrize("speed, says", [
    (math.nextafter(0.5, 0), "at least 0.5"), (0.49, "at least 0.5"),
    (math.nextafter(4.0, 5), "at most 4"), (4.01, "at most 4, not 4.01: above 4x the narration is unintelligible"),
    (math.nan, "finite"), (math.inf, "finite"), (-math.inf, "finite"), (True, "a number"), ("2", "a number")])
def test_speeds_refused(speed, says):
    with pytest.raises(PreflightError, match=says):
        check_speed(speed)  # type: ignore[arg-type]


def test_the_help_says_the_speed_range():
    done = subprocess.run([sys.executable, "-m", "vantor", "recap", "--help"], cwd=ROOT, capture_output=True,
                          text=True, timeout=60)
    assert f"from {MIN_SPEED:g} to {MAX_SPEED:g}" in " ".join(done.stdout.split())


@pytest.mark.parametrize("choice", ["auto", "local", "configured", "http://127.0.0.1:8765",
                                   "https://host.example/secret-token"])
def test_services_choices_accepted(choice):
    assert check_services_choice(choice) == choice


@pytest.mark.parametrize("choice", ["http://", "https://", "htp://x", "ftp://host", "Local", "", "http:///path"])
def test_services_choices_refused(choice):
    with pytest.raises(ServicesChoiceError, match="use auto, configured, local or the http"):
        check_services_choice(choice)


def test_an_address_in_the_environment_must_be_one(monkeypatch):
    monkeypatch.setenv("VANTOR_SERVICES_URL", "http://127.0.0.1:9/token")
    assert resolve_services("local") == "http://127.0.0.1:9/token"
    monkeypatch.setenv("VANTOR_SERVICES_URL", "localhost:9")
    with pytest.raises(ServicesChoiceError, match="VANTOR_SERVICES_URL must be"):
        resolve_services("local")


def test_a_command_reads_its_services_once(monkeypatch):
    monkeypatch.setenv("VANTOR_SERVICES_URL", "http://127.0.0.1:9/first")
    chosen = ServicesChoice("local")
    assert resolve_services(chosen) == "http://127.0.0.1:9/first"
    monkeypatch.setenv("VANTOR_SERVICES_URL", "http://127.0.0.1:9/second")  # later steps see the same services
    assert resolve_services(chosen) == chosen.where == "http://127.0.0.1:9/first"
    assert resolve_services(ServicesChoice("configured")) == "configured"
    with pytest.raises(ServicesChoiceError):
        ServicesChoice("Local")


def test_an_unreachable_serve_is_named_by_host_and_port_never_its_token(tmp_path, monkeypatch, capsys):
    import socket

    from vantor.cli import main

    segments = tmp_path / "segments.json"
    segments.write_text('[{"start": "1", "end": "2", "voiceover": "Hi."}]', encoding="utf-8")
    with socket.socket() as closed:  # bound, never listening: every connection is refused
        closed.bind(("127.0.0.1", 0))
        port = closed.getsockname()[1]
        monkeypatch.setenv("VANTOR_SERVICES_URL", f"http://127.0.0.1:{port}/s3cr3t-t0ken")
        status = main(["recap", "https://example.org/v", str(segments), "--voice", "en-US-JennyNeural",
                       "--services", "local", "--output-dir", str(tmp_path)])
    err = capsys.readouterr().err
    assert status == 1 and "s3cr3t" not in err, err
    assert err.splitlines() == [
        f"vantor: using the local download and speech services (at http://127.0.0.1:{port})",
        f"vantor: 127.0.0.1:{port} cannot be reached; check the network, or that the service (vantor serve) is "
        "running there"]
    from vantor.recap.engine.messages import explain

    broken = requests.exceptions.ChunkedEncodingError(
        f"Connection broken reading http://127.0.0.1:{port}/s3cr3t-t0ken/ajax/download.php?url=x")
    assert explain(broken) == ("ChunkedEncodingError: Connection broken reading "
                               f"http://127.0.0.1:{port}/... (--debug shows where)")
    monkeypatch.setenv("VANTOR_SERVICES_URL", "127.0.0.1:9/s3cr3t-t0ken")
    with pytest.raises(ServicesChoiceError, match="not '127.0.0.1:9'$"):
        resolve_services("local")


@pytest.mark.parametrize("argv", [["--services", "http://"], ["--services", "htp://x"]])
def test_a_bad_services_choice_is_a_usage_error_naming_every_choice(argv):
    done = subprocess.run([sys.executable, "-m", "vantor", "recap", "u", "s.json", "--voice", "v", *argv], cwd=ROOT,
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 2 and "use auto, configured, local or the http" in done.stderr


def http_error(status):
    response = requests.Response()
    response.status_code = status
    return requests.HTTPError(f"{status} error", response=response)


def refused(reason):
    return Exception(f"Download API error: {{'success': False, 'error': {reason!r}}}")


TRANSIENT = {
    "site 500": DownloadError("ERROR: [generic] Unable to download webpage: HTTP Error 500: Internal Server Error"),
    "site 503 says unavailable": DownloadError("ERROR: HTTP Error 503: Service Unavailable"),
    "site 429": DownloadError("ERROR: HTTP Error 429: Too Many Requests"),
    "service 500": http_error(500),
    "service 503": http_error(503),
    "service 429": http_error(429),
    "service busy": refused("4 downloads are running, the service's limit; try again later"),
    "busy word": refused("busy"),
    "stalled": DownloadError("the download stalled: no data for 60 s"),
    "engine's wait ran out": Exception("Download timed out after 3 minutes"),
    "reset": requests.ConnectionError("Connection reset by peer"),
    "time-out": requests.ReadTimeout("slow"),
    "builtin reset": ConnectionResetError(104, "reset"),
    "speech 500": Exception("TTS failed for voice v: HTTP 500"),
    "wget network": subprocess.CalledProcessError(4, ["wget", "-O", "x", "u"]),
    "refusal without reason": Exception("Download API error: {'success': False}"),
}
PERMANENT = {
    "unavailable": refused("Video unavailable. This video is private"),
    "private": DownloadError("ERROR: [youtube] x: Private video. Sign in if you've been granted access"),
    "unsupported": DownloadError("ERROR: Unsupported URL: https://example.com/"),
    "site 404": DownloadError("ERROR: HTTP Error 404: Not Found"),
    "site 403": refused("HTTP Error 403: Forbidden"),
    "service 404": http_error(404),
    "service 400": http_error(400),
    "speech 400": Exception("TTS failed for voice v: HTTP 400"),
    "unknown local reason": DownloadError("no video at that address"),
    "bad segments": PreflightError("segments.json: 1 error in the segments file"),
    "ffmpeg": subprocess.CalledProcessError(1, ["ffmpeg", "-i", "x"]),
    "wget 8": subprocess.CalledProcessError(8, ["wget", "-O", "x", "u"]),
    "bug": KeyError("start"),
}


@pytest.mark.parametrize("name", TRANSIENT)
def test_transient_failures(name):
    assert is_transient(TRANSIENT[name]), classify(TRANSIENT[name])


@pytest.mark.parametrize("name", PERMANENT)
def test_permanent_failures(name):
    assert not is_transient(PERMANENT[name]), classify(PERMANENT[name])


def test_the_reason_and_status_are_read_out():
    site = classify(TRANSIENT["site 500"])
    assert (site.source, site.status, site.known) == ("download", 500, True)
    assert classify(PERMANENT["unavailable"]).reason == "Video unavailable. This video is private"
    assert classify(TRANSIENT["refusal without reason"]).known is False


@pytest.mark.parametrize("asked, routed", [
    ("{download}/ajax/download.php?url=x", "http://127.0.0.1:9/token/ajax/download.php?url=x"),
    ("{download}", "http://127.0.0.1:9/token"),
    ("{download}?q=1", "http://127.0.0.1:9/token/?q=1"),
    ("{speech}/api/tts", "http://127.0.0.1:9/token/api/tts"),
    ("{download}x/ajax", "{download}x/ajax"),  # another host that merely starts alike
    ("http://127.0.0.1:5/progress/1", "http://127.0.0.1:5/progress/1"),  # a service's own address
])
def test_one_routing_rule_strips_the_configured_base_and_keeps_the_targets_path(monkeypatch, asked, routed):
    from vantor.services import router

    bases = {"download": "https://api.example.invalid/v1", "speech": "https://tts.example.invalid"}
    monkeypatch.setattr(router, "_configured_bases", lambda: (bases["download"], bases["speech"]))
    target = router.ServiceRouter("http://127.0.0.1:9/token/")
    assert target.route(asked.format(**bases)) == routed.format(**bases)


def test_a_serve_token_travels_in_a_header_and_only_to_its_own_host_and_port(monkeypatch):
    from vantor.services import router

    monkeypatch.setattr(router, "_configured_bases", lambda: ("https://api.example.invalid/v1", "https://tts.example.invalid"))
    token = "a-serve-token-0123456789"
    sent = []

    class Recorder:
        def get(self, url, **kwargs):
            sent.append((url, kwargs.get("headers")))

    target = router.ServiceRouter(f"http://127.0.0.1:9/{token}", Recorder())
    target.get("https://api.example.invalid/v1/ajax/download.php?url=x", headers={"accept": "*/*"})
    for url in ("http://127.0.0.1:9/progress/1", "http://127.0.0.1:10/progress/1", "http://evil.example/x"):
        target.get(url)
    assert sent == [("http://127.0.0.1:9/ajax/download.php?url=x", {"accept": "*/*", "x-vantor-token": token}),
                    ("http://127.0.0.1:9/progress/1", {"x-vantor-token": token}),
                    ("http://127.0.0.1:10/progress/1", None), ("http://evil.example/x", None)]
    # Only a whole path of one token-like segment is read as a token; any other path stays in the address.
    for kept in ("http://h:1/proxy/" + token, "http://h:1/short", f"http://h:1/{token}?q=1", f"http://h:1/{token}!"):
        assert router.split_token(kept) == (kept, None)


def test_many_segments_past_the_end_are_a_line_each_the_first_few_then_a_count():
    from vantor.recap.checks.preflight import check_video_duration

    on_time = {"start": "1", "end": "2", "voiceover": "On time."}
    late = [{"start": str(20 + n), "end": str(21 + n), "voiceover": "Late."} for n in range(48)]
    with pytest.raises(PreflightError) as refused:
        check_video_duration([on_time, *late], "film.mp4", lambda _: 12.0)
    lines = str(refused.value).splitlines()
    assert lines[0] == "48 segments start past the end of the video (12.00 s); nothing was narrated:"
    assert [line.split("'")[0] for line in lines[1:]] == ["  segment 2 ", "  segment 3 ", "  segment 4 ", "  and 45 more"]
    with pytest.raises(PreflightError, match=r"^segment 2 'start': starts at 20 \(20 s\), past the end of the video "
                                             r"\(12\.00 s\); fix its \"start\"; nothing was narrated$"):
        check_video_duration([on_time, late[0]], "film.mp4", lambda _: 12.0)
