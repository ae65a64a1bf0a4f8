"""No secret on any command line: every local user can read every process's
/proc/PID/cmdline. All of /proc is scanned while the run's children are
alive: from the services' own file answer (the wget or ffprobe fetching the
file is then connected and waiting) and by a scanner running through the
whole run (its ffmpeg children)."""

from __future__ import annotations

import json
import stat
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest
import requests

from child_env import child_env
from studio_served import served_studio
from vantor.services.server import InProcessServer, Services
from vantor.studio.app import Studio
from vantor.studio.project import Project

pytestmark = pytest.mark.slow

ROOT = Path(__file__).resolve().parents[1]
SERVICES_TOKEN = "services-token-never-on-a-command-line"
STUDIO_TOKEN = "studio-token-never-on-a-command-line"
SEGMENTS = [{"start": "1", "end": "3", "voiceover": "One."}, {"start": "5", "end": "7", "voiceover": "Two."}]


class Watch:
    """Scans every process's command line for the secrets: every 10 ms, and
    whenever `scan()` is called. `seen`: the lines naming `mark` (the run's
    files) or a file address, so the test knows which children it saw."""

    def __init__(self, secrets: tuple[str, ...], mark: str) -> None:
        self.secrets, self.mark = secrets, mark
        self.leaks: list[str] = []
        self.seen: list[str] = []
        self._stop = threading.Event()
        self._thread = threading.Thread(target=lambda: [self.scan() for _ in iter(lambda: self._stop.wait(0.01), True)])

    def scan(self) -> None:
        for entry in Path("/proc").glob("[0-9]*/cmdline"):
            try:
                line = entry.read_bytes().replace(b"\0", b" ").decode(errors="replace")
            except OSError:
                continue
            self.leaks += [line[:300] for secret in self.secrets if secret in line]
            self.seen += [line[:300]] if self.mark in line or "/files/" in line else []

    def tools(self) -> set[str]:
        return {Path(line.split(" ", 1)[0]).name for line in self.seen}

    def __enter__(self) -> Watch:
        self._thread.start()
        return self

    def __exit__(self, *exc: object) -> None:
        self._stop.set()
        self._thread.join()


class ScanOnFile:
    """The services' application, scanning /proc when a file is asked for:
    the fetching child is alive then, however short the transfer."""

    def __init__(self, app, watch: Watch) -> None:
        self.app, self.watch = app, watch

    async def __call__(self, scope, receive, send) -> None:
        if scope["type"] == "http" and "/files/" in scope["path"]:
            self.watch.scan()
        await self.app(scope, receive, send)


def services_with(watch: Watch, cache: Path) -> InProcessServer:
    services = Services(cache, token=SERVICES_TOKEN, private_sources="allow")
    services.app = ScanOnFile(services.app, watch)
    return InProcessServer(services)


def test_a_recap_through_a_serve_puts_no_token_on_a_command_line(tmp_path, film):
    (tmp_path / "segments.json").write_text(json.dumps(SEGMENTS))
    out = tmp_path / "out"
    with Watch((SERVICES_TOKEN,), str(out)) as watch:
        server = services_with(watch, tmp_path / "cache")
        try:
            done = subprocess.run([sys.executable, "-m", "vantor", "recap", film, "segments.json", "--voice", "en-us",
                                   "-p", "--output-dir", str(out)], cwd=tmp_path, capture_output=True, text=True,
                                  env=child_env(VANTOR_SERVICES_URL=server.base_url), timeout=600)
        finally:
            server.close()
    assert done.returncode == 0, done.stderr
    assert {"wget", "ffmpeg"} <= watch.tools(), watch.seen  # the children were really observed
    assert watch.leaks == []


def test_a_studio_session_puts_no_token_on_a_command_line(tmp_path, film):
    with Watch((SERVICES_TOKEN, STUDIO_TOKEN), str(tmp_path / "project")) as watch:
        services = services_with(watch, tmp_path / "cache")
        (tmp_path / "project").mkdir()
        studio = Studio(Project(tmp_path / "project"), services.base_url)
        try:
            with served_studio(studio, STUDIO_TOKEN) as page:
                page.session.headers.update({"origin": page.origin, "content-type": "application/json"})
                for path, body in (("api/load", {"url": film}),
                                   ("api/make", {"url": film, "segments": SEGMENTS, "voice": "en-us", "speed": 1.5})):
                    answer = page.session.post(page.base + path, json=body, timeout=30)
                    activity = studio.activities.get(answer.json()["id"])
                    deadline = time.monotonic() + 300
                    while not activity.ended and time.monotonic() < deadline:
                        time.sleep(0.1)
                    assert activity.since(0)[-1][1]["type"] in ("ready", "done"), activity.since(0)[-1]
        finally:
            studio.close()
            services.close()
    # The load's ffprobe and the recap's wget fetched the file; the recap's ffmpeg ran.
    assert {"ffprobe", "wget", "ffmpeg"} <= watch.tools(), watch.seen
    assert watch.leaks == []


def test_vantor_studio_hands_the_browser_a_one_time_address(tmp_path):
    """A stand-in browser (BROWSER) records its command line and opens the
    address once, as a browser would."""
    browser = tmp_path / "browser.py"
    browser.write_text(f"""#!{sys.executable}
import json, sys, urllib.request
class Keep(urllib.request.HTTPRedirectHandler):
    def redirect_request(self, *args): return None
try:
    urllib.request.build_opener(Keep).open(sys.argv[1], timeout=30)
except urllib.error.HTTPError as answer:
    opened = {{"status": answer.code, "location": answer.headers["location"], "cookie": answer.headers["set-cookie"]}}
with open({str(tmp_path / "browser.json")!r}, "w") as f:
    json.dump({{"argv": sys.argv, **opened}}, f)
""")
    browser.chmod(browser.stat().st_mode | stat.S_IXUSR)
    studio = subprocess.Popen([sys.executable, "-m", "vantor", "studio", "--port", "0", "--project", str(tmp_path),
                               "--cache-dir", str(tmp_path / "cache")], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                              text=True, env=child_env(BROWSER=f"{browser} %s"))
    try:
        printed = studio.stdout.readline().split()[2]
        for _ in range(300):
            if (tmp_path / "browser.json").exists():
                break
            time.sleep(0.1)
        opened = json.loads((tmp_path / "browser.json").read_text())
        token = opened["location"].strip("/")
        assert opened["argv"][1:] == [printed] and opened["status"] == 303 and token not in printed
        assert sorted(opened["cookie"].split("; ")[1:]) == ["HttpOnly", "Path=/", "SameSite=Strict"]
        origin = printed.split("/open/")[0]
        cookie = dict([opened["cookie"].split(";")[0].split("=", 1)])
        assert requests.get(printed, timeout=10, allow_redirects=False).status_code == 403  # used once already
        assert requests.get(f"{origin}/{token}/api/state", timeout=10).status_code == 404  # no cookie
        assert requests.get(f"{origin}/{token}/api/state", cookies=cookie, timeout=10).status_code == 200
        wrong = {name: value[:-1] + ("A" if value[-1] != "A" else "B") for name, value in cookie.items()}
        assert requests.get(f"{origin}/{token}/api/state", cookies=wrong, timeout=10).status_code == 404
    finally:
        studio.terminate()
        studio.wait(timeout=30)
        studio.stdout.close()
