"""_download_video against the loopback download stand-in, over real sockets
and with the real wget; `time` is rebound so polling does not wait."""

import contextlib
import json
import subprocess
from pathlib import Path
from types import SimpleNamespace
from urllib.parse import urlsplit

import pytest
import requests

from vantor import _service_settings as settings
from standins import DownloadService, ServiceRouter, SpeechService

BROWSER = "Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/144.0.0.0 Safari/537.36"
HEADERS = {
    "accept": "*/*", "accept-language": "en-US,en;q=0.6", "cache-control": "no-cache",
    "origin": settings.DOWNLOAD_ORIGIN, "referer": settings.DOWNLOAD_ORIGIN + "/", "user-agent": BROWSER,
}
TRANSPORT = {"host", "accept-encoding", "connection", "content-length"}
FIRST = "📥 Requesting download from server...\n"
FLUSH = object()


class Stdout(list):
    """Records what is written to standard output and where flushes fall."""

    def write(self, text):
        self.extend([text] if text else [])
        return len(text)

    def flush(self):
        self.append(FLUSH)

    text = property(lambda self: "".join(e for e in self if e is not FLUSH))


class Harness:
    def __init__(self, engine, service, out):
        self.engine, self.service, self.out, self.stdout = engine, service, out, Stdout()
        self.sleeps, self.runs = [], []  # sleeps: (seconds, requests received so far)
        engine.requests = self.router = ServiceRouter(service)
        engine.time = SimpleNamespace(sleep=lambda s: self.sleeps.append((s, len(service.requests))))
        engine.subprocess = SimpleNamespace(run=self._run)

    def _run(self, argv, **options):
        self.runs.append(list(argv))
        return subprocess.run(argv, **options)

    def download(self, url="https://youtu.be/abc"):
        with contextlib.redirect_stdout(self.stdout):
            self.engine._download_video(url, self.out)

    def wget_argv(self, download_url):
        return ["wget", "-q", "-O", self.out, "--user-agent", BROWSER, download_url]


@pytest.fixture
def dl(engine, source_video, tmp_path):
    with DownloadService(source_video) as service:
        yield Harness(engine, service, str(tmp_path / "movie.mp4"))


def test_exchange_headers_and_fetch(dl, source_video):
    dl.download("x/y?v=1&t=2 é~")
    encoded = "x%2Fy%3Fv%3D1%26t%3D2%20%C3%A9~"
    job = "/ajax/download.php?format=1080&url=" + encoded
    assert [r.path for r in dl.service.requests] == [job, "/progress/1", "/progress/1", "/files/1.mp4"]
    assert dl.router.calls[0].url == settings.DOWNLOAD_API_BASE + job
    assert dl.service.jobs[1] == "x/y?v=1&t=2 é~"
    assert [c.kwargs["timeout"] for c in dl.router.calls] == [30, 15, 15]
    for request in dl.service.requests[:3]:
        sent = {k.lower(): v for k, v in request.headers.items() if k.lower() not in TRANSPORT}
        assert sent == HEADERS and request.method == "GET" and request.body == b""
    assert list(dl.router.calls[0].kwargs["headers"]) == list(HEADERS)
    origin = urlsplit(settings.DOWNLOAD_ORIGIN)  # the front end's https origin, not the API host
    assert (origin.scheme, origin.path) == ("https", "") and origin.hostname not in settings.DOWNLOAD_API_BASE

    assert dl.sleeps == [(3, 1), (3, 2)]  # each pause before its poll
    assert dl.runs == [dl.wget_argv(dl.service.file_url(1))]
    assert Path(dl.out).read_bytes() == Path(source_video).read_bytes()
    assert dl.stdout.text == (FIRST + "⏳ Processing job 1...\n\r  50%\r  100%\n⬇️  Downloading video...\n"
                              "✅ Download complete: " + dl.out + "\n")

    # The header set is built afresh: a change to the last call's set does not leak.
    dl.router.calls[0].kwargs["headers"]["x-leak"] = "1"
    dl.download()
    assert all("x-leak" not in r.headers for r in dl.service.requests[4:])
    assert dl.router.calls[3].kwargs["headers"] is not dl.router.calls[0].kwargs["headers"]


JOB = {"id": 1, "progress_url": "http://127.0.0.1:9/never"}


@pytest.mark.parametrize(
    "status, body, error, match",
    [
        *[(None, {**JOB, "success": v}, Exception, None) for v in (False, 0, None, "", [], {})],
        (None, JOB, Exception, None),
        (500, None, requests.HTTPError, "500"),
        (404, None, requests.HTTPError, "404"),
        (None, "<html>busy</html>", json.JSONDecodeError, None),
        (None, [1], TypeError, None),
        (None, {"success": True, "progress_url": "http://x/"}, KeyError, "'id'"),
        (None, {"success": True, "id": 1}, KeyError, "'progress_url'"),
    ],
)
def test_job_request_failures(dl, status, body, error, match):
    dl.service.script_job(status=status, body=body)
    with pytest.raises(error, match=match) as info:
        dl.download()
    if error is Exception:  # the whole decoded answer, in the host's text form
        assert type(info.value) is Exception and str(info.value) == "Download API error: " + str(body)
    assert len(dl.service.requests) == 1 and dl.sleeps == []
    assert dl.stdout.text == FIRST


def test_progress_text_and_completion_rule(dl):
    url, progress_url = dl.service.file_url(1), dl.service.base_url + "/progress/job-7?y=1"
    dl.service.script_job(body={"success": 1, "id": "job-7", "progress_url": progress_url})
    polls = [{"body": {"success": False, "progress": p}} for p in (125, 135, 994, 995)]
    polls += [
        {"body": {"success": True}},  # no figure: 0
        {"body": {"success": False, "progress": 1000}},  # not a success
        {"status": 500, "body": {"success": True, "progress": 999}},  # status ignored; short of 1000
        {"body": {"success": True, "progress": 1250, "download_url": url}},
    ]
    dl.service.script_polls(polls)
    dl.download()
    assert [r.path for r in dl.service.requests[1:-1]] == ["/progress/job-7?y=1"] * 8
    shown = ["\r  12%", "\r  14%", "\r  99%", "\r  100%", "\r  0%", "\r  100%", "\r  100%", "\r  125%"]
    assert dl.stdout.text.startswith(FIRST + "⏳ Processing job job-7...\n" + "".join(shown) + "\n⬇️")
    assert [e for e in dl.stdout if e is FLUSH or e.startswith("\r")] == [x for s in shown for x in (s, FLUSH)]
    assert dl.sleeps == [(3, n) for n in range(1, 9)]
    assert dl.runs == [dl.wget_argv(url)]


@pytest.mark.parametrize("completes", [False, True])
def test_sixty_poll_limit(dl, completes):
    dl.service.step = 0  # never completes by itself
    if completes:
        done = {"success": True, "progress": 1000, "download_url": dl.service.file_url(1)}
        dl.service.script_polls([{}] * 59 + [{"body": done}])
        dl.download()
        assert Path(dl.out).stat().st_size > 0
    else:
        with pytest.raises(Exception, match=r"^Download timed out after 3 minutes$"):
            dl.download()
        assert dl.stdout.text.endswith("\r  0%") and dl.runs == []
    assert dl.sleeps == [(3, n) for n in range(1, 61)]
    assert len(dl.service.requests) == 61 + completes


@pytest.mark.parametrize(
    "poll, error, last_shown",
    [
        ({"success": True, "progress": None}, TypeError, None),
        ({"success": True, "progress": "50"}, TypeError, None),
        ({"success": True, "progress": 1000}, KeyError, "\r  100%"),  # no download_url
        ("Service Unavailable", json.JSONDecodeError, None),
        ([1000], TypeError, None),
    ],
)
def test_poll_failures(dl, poll, error, last_shown):
    dl.service.script_polls([{"body": {"success": True, "progress": 400}}, {"body": poll}])
    with pytest.raises(error):
        dl.download()
    assert dl.stdout.text.endswith(last_shown or "\r  40%")
    assert len(dl.service.requests) == 3 and dl.runs == []


@pytest.mark.parametrize("download_url", [None, "-e robots=off", "ftp://x/movie.mp4", "http://", "file:///etc/passwd"])
def test_fetch_failures(dl, download_url):
    if download_url is None:  # the file endpoint answers 404, so wget exits non-zero
        dl.service.fail_files(404)
        with pytest.raises(subprocess.CalledProcessError) as info:
            dl.download()
        assert info.value.cmd == dl.wget_argv(dl.service.file_url(1)) and info.value.returncode != 0
    else:  # an address wget would read as an option, or not http(s) at all: refused before wget
        dl.service.script_polls([{"body": {"success": True, "progress": 1000, "download_url": download_url}}])
        with pytest.raises(Exception) as info:
            dl.download()
        assert type(info.value) is Exception and dl.runs == []
        assert str(info.value).startswith("Download API error: ") and repr(download_url) in str(info.value)
    assert "✅" not in dl.stdout.text


@pytest.mark.parametrize("job_stall, poll_stall, timeouts", [(3, None, [30]), (None, 3, [30, 15])])
def test_stall_surfaces_http_timeout(dl, job_stall, poll_stall, timeouts):
    dl.engine.requests = router = ServiceRouter(dl.service, timeout_cap=0.5)  # the stand-in stalls 3 s
    dl.service.script_job(delay=job_stall)
    dl.service.script_polls([{"delay": poll_stall}])
    with pytest.raises(requests.Timeout):
        dl.download()
    assert [c.kwargs["timeout"] for c in router.calls] == timeouts


@pytest.mark.slow
def test_full_recap_against_both_standins(engine, source_video, tmp_path):
    segments = [{"start": "1", "end": "3.5", "voiceover": "The hero sets out."},
                {"start": "00:00:06", "end": "00:00:08", "voiceover": "And comes home."}]
    (tmp_path / "segments.json").write_text(json.dumps(segments), encoding="utf-8")
    sleeps = []
    with DownloadService(source_video) as download, SpeechService(seconds=1.5) as speech:
        engine.requests = ServiceRouter(download, speech)
        engine.time = SimpleNamespace(sleep=sleeps.append)
        result = engine.run_recap("https://youtu.be/abc", str(tmp_path / "segments.json"), 1.5, "v1", str(tmp_path))
    assert result == str(tmp_path / "FINAL_RECAP.mp4")
    assert sorted(p.name for p in tmp_path.iterdir()) == ["FINAL_RECAP.mp4", "horizontal_final.mp4", "segments.json"]
    assert sleeps == [3, 3, 0.5, 0.5]
    assert [json.loads(r.body) for r in speech.requests] == [{"text": s["voiceover"], "voice": "v1"} for s in segments]
    probe = ["ffprobe", "-v", "error", "-show_entries", "stream=codec_type,width,height", "-of", "json", result]
    streams = json.loads(subprocess.run(probe, capture_output=True, check=True).stdout)["streams"]
    assert {s["codec_type"] for s in streams} == {"video", "audio"}
    assert [(s["width"], s["height"]) for s in streams if s["codec_type"] == "video"] == [(1080, 1920)]


def test_refused_connection_surfaces_http_error(dl):
    dl.service.close()
    with pytest.raises(requests.ConnectionError):
        dl.download()
    assert dl.stdout.text == FIRST and dl.runs == []
