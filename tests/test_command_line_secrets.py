"""No secret on any command line: every local user can read every process's
/proc/PID/cmdline. All of /proc is scanned while the run's children are
alive: from the services' own file answer (the wget fetching the file is
then connected and waiting) and by a scanner running through the whole run
(its ffmpeg children). Neither a token nor a file address (a capability,
`/files/...`) may appear; the studio's open address is raced for by another
Unix user."""

from __future__ import annotations

import errno
import json
import os
import re
import subprocess
import sys
import threading
import time
import urllib.parse
from pathlib import Path

import pytest
import requests

from child_env import child_env
from other_user import another_user
from studio_served import served_studio
from vantor.services.server import InProcessServer, Services
from vantor.studio.app import Studio
from vantor.studio.project import Project

pytestmark = pytest.mark.slow

ROOT = Path(__file__).resolve().parents[1]
SERVICES_TOKEN = "services-token-never-on-a-command-line"
STUDIO_TOKEN = "studio-token-never-on-a-command-line"
SEGMENTS = [{"start": "1", "end": "3", "voiceover": "One."}, {"start": "5", "end": "7", "voiceover": "Two."}]


def _parents() -> dict[int, int]:
    found = {}
    for entry in Path("/proc").glob("[0-9]*/stat"):
        try:
            found[int(entry.parent.name)] = int(entry.read_text().rsplit(")", 1)[1].split()[1])
        except (OSError, ValueError, IndexError):
            continue
    return found


def _ours(pid: int, parents: dict[int, int]) -> bool:
    """`pid` is this test's process or one it started (other tests on the machine are not looked at)."""
    while pid > 1:
        if pid == os.getpid():
            return True
        pid = parents.get(pid, 0)
    return False


class Watch:
    """Scans the command line of every process this test started for the
    secrets and for file addresses: every 10 ms, and whenever `scan()` is
    called. `seen`: the lines naming `mark` (the run's files), so the test
    knows which children it saw."""

    def __init__(self, secrets: tuple[str, ...], mark: str) -> None:
        self.secrets, self.mark = secrets, mark
        self.leaks: list[str] = []
        self.seen: list[str] = []
        self._stop = threading.Event()
        self._thread = threading.Thread(target=lambda: [self.scan() for _ in iter(lambda: self._stop.wait(0.01), True)])

    def scan(self) -> None:
        parents = _parents()
        for entry in Path("/proc").glob("[0-9]*/cmdline"):
            if not _ours(int(entry.parent.name), parents):
                continue
            try:
                line = entry.read_bytes().replace(b"\0", b" ").decode(errors="replace")
            except OSError:
                continue
            self.leaks += [line[:300] for secret in (*self.secrets, "/files/") if secret in line]
            self.seen += [line[:300]] if self.mark in line else []

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
    assert watch.leaks == []  # wget read the file address from a private file


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
    # The load and the recap took the services' cached file in place: no wget, no address; the recap's ffmpeg ran.
    assert "ffmpeg" in watch.tools() and "wget" not in watch.tools(), watch.seen
    assert watch.leaks == []


# Run as another Unix user: reads every process's command line for the studio's open address or file, as
# fast as it can, uses what it finds, and prints what it saw.
RACER = r"""
import json, os, sys, time, urllib.request, urllib.parse
seen, found = set(), {"addresses": [], "files": [], "read": [], "answers": []}
ends = time.monotonic() + float(sys.argv[1])
while time.monotonic() < ends:
    for pid in os.listdir("/proc"):
        try:
            args = open(f"/proc/{pid}/cmdline", "rb").read().split(b"\0") if pid.isdigit() else []
        except OSError:
            continue
        for arg in {a.decode(errors="replace") for a in args} - seen:
            seen.add(arg)
            if arg.startswith("http") and "/open" in arg:
                found["addresses"].append(arg)
                try:
                    found["answers"].append(urllib.request.urlopen(arg, timeout=5).status)
                except Exception as error:
                    found["answers"].append(str(error))
            elif arg.startswith("file://"):
                found["files"].append(arg)
                try:
                    found["read"].append(open(urllib.parse.unquote(arg[7:])).read())
                except OSError as error:
                    found["answers"].append(error.errno)
print(json.dumps(found))
"""

BROWSER = r"""#!{python}
import json, re, sys, time, urllib.error, urllib.parse, urllib.request
time.sleep(1.0)  # a browser takes hundreds of milliseconds to start
page = open(urllib.parse.unquote(sys.argv[1][len("file://"):])).read()
action = re.search(r'action="([^"]+)"', page).group(1)
fields = dict(re.findall(r'name="([^"]+)" value="([^"]*)"', page))
def post(headers):
    ask = urllib.request.Request(action, urllib.parse.urlencode(fields).encode(), headers)
    try:
        answer = urllib.request.urlopen(ask, timeout=30)
    except urllib.error.HTTPError as error:
        answer = error
    return {{"status": answer.status, "cookie": answer.headers["set-cookie"], "body": answer.read().decode()}}
null = {{"Origin": "null", "Content-Type": "application/x-www-form-urlencoded"}}
first = post(null)
with open({out!r}, "w") as f:
    json.dump({{"argv": sys.argv, "first": first, "again": post(null), "fields": fields}}, f)
"""


def test_another_user_racing_through_proc_cannot_take_the_studios_open_address(tmp_path):
    """Another user scans /proc as the browser starts: the browser's command
    line names only the private file, which that user cannot read; the
    browser's post gets the session, its second post is refused and said on
    the terminal, and the file is gone once used."""
    browser = tmp_path / "browser.py"
    browser.write_text(BROWSER.format(python=sys.executable, out=str(tmp_path / "browser.json")))
    browser.chmod(0o700)
    with another_user() as user:
        racer = subprocess.Popen(["/usr/bin/python3", "-c", RACER, "6"], user=user.pw_uid, group=user.pw_gid,
                                 extra_groups=[], cwd="/", stdout=subprocess.PIPE, text=True)
        with open(tmp_path / "studio.err", "w") as err:
            studio = subprocess.Popen([sys.executable, "-m", "vantor", "studio", "--port", "0", "--project",
                                       str(tmp_path), "--cache-dir", str(tmp_path / "cache")],
                                      stdout=subprocess.PIPE, stderr=err, text=True,
                                      env=child_env(BROWSER=f"{browser} %s"))
        try:
            origin = studio.stdout.readline().split()[2]
            raced = json.loads(racer.communicate(timeout=60)[0])
            opened = json.loads((tmp_path / "browser.json").read_text())
        finally:
            studio.terminate()
            studio.wait(timeout=30)
            studio.stdout.close()
            racer.kill()
    assert opened["argv"][1].startswith("file://") and opened["argv"][1] in raced["files"]  # the race was run
    assert raced["addresses"] == [] and raced["read"] == [] and set(raced["answers"]) == {errno.EACCES}
    first, again = opened["first"], opened["again"]
    assert first["status"] == 200 and sorted(first["cookie"].split("; ")[1:]) == ["HttpOnly", "Path=/",
                                                                                   "SameSite=Strict"]
    token = re.search(r'url=/([^/"]+)/', first["body"]).group(1)
    assert token not in opened["argv"][1] and opened["fields"]["code"] not in (tmp_path / "studio.err").read_text()
    assert again["status"] == 403 and again["cookie"] is None
    assert "someone else used the studio's open address: restart it" in (tmp_path / "studio.err").read_text()
    assert not os.path.exists(urllib.parse.unquote(opened["argv"][1][len("file://"):]))


def test_the_studio_session_is_bound_to_the_first_exchange(tmp_path):
    """The printed address, for --no-browser: one exchange makes the session,
    and every other code is void after it; the token opens nothing without
    the cookie, nor with one wrong in a character."""
    studio = subprocess.Popen([sys.executable, "-m", "vantor", "studio", "--no-browser", "--port", "0", "--project",
                               str(tmp_path), "--cache-dir", str(tmp_path / "cache")], stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, text=True, env=child_env())
    try:
        printed = studio.stdout.readline().split()[2]
        answer = requests.get(printed, timeout=10, allow_redirects=False)
        token, cookie = answer.headers["location"].strip("/"), answer.cookies.get_dict()
        assert answer.status_code == 303 and token not in printed
        origin = printed.split("/open/")[0]
        assert requests.get(printed, timeout=10, allow_redirects=False).status_code == 403  # used once already
        assert requests.get(printed, cookies=cookie, timeout=10, allow_redirects=False).status_code == 307  # again
        assert requests.get(f"{origin}/{token}/api/state", timeout=10).status_code == 404  # no cookie
        assert requests.get(f"{origin}/{token}/api/state", cookies=cookie, timeout=10).status_code == 200
        wrong = {name: value[:-1] + ("A" if value[-1] != "A" else "B") for name, value in cookie.items()}
        assert requests.get(f"{origin}/{token}/api/state", cookies=wrong, timeout=10).status_code == 404
    finally:
        studio.terminate()
        _, said = studio.communicate(timeout=30)
    assert "someone else used the studio's open address: restart it" in said
