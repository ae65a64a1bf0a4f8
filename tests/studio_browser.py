"""What the studio's browser tests share: Debian's chromium, headless,
driven through its own chromedriver (selenium is given both paths, so it
looks nothing up and downloads nothing), and a `vantor studio` process on
loopback with its project and cache in a scratch folder."""

from __future__ import annotations

import json
import os
import re
import signal
import subprocess
import sys
import time
from pathlib import Path
from typing import Any

import pytest

CHROMIUM = "/usr/bin/chromium"
CHROMEDRIVER = "/usr/bin/chromedriver"
WAIT = 120  # seconds for anything the page waits on; a recap on a busy machine takes a while


def browser_or_skip() -> Any:
    """A headless chromium; skips only where it is not installed and this is
    not CI (CI must have it: scripts/provision.sh installs it)."""
    missing = [p for p in (CHROMIUM, CHROMEDRIVER) if not os.access(p, os.X_OK)]
    try:
        from selenium import webdriver
        from selenium.webdriver.chrome.service import Service
    except ImportError:
        missing.append("selenium")
    if missing:
        message = f"{', '.join(missing)} missing: run scripts/provision.sh"
        if os.environ.get("CI") == "true":
            pytest.fail(message)
        pytest.skip(message)
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for argument in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--disable-gpu",
                     "--autoplay-policy=no-user-gesture-required", "--mute-audio", "--window-size=1100,1500",
                     "--no-first-run", "--disable-extensions"):
        options.add_argument(argument)
    # The sanitizer run preloads its runtime into the interpreter; the browser must not inherit it.
    env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS")}
    return webdriver.Chrome(options=options, service=Service(executable_path=CHROMEDRIVER, env=env))


class StudioProcess:
    def __init__(self, root: Path, *options: str) -> None:
        self.project = root / "project"
        self.project.mkdir()
        self.log = root / "studio.log"
        with open(self.log, "w") as log:
            self.process = subprocess.Popen(
                [sys.executable, "-m", "vantor", "studio", "--no-browser", "--port", "0", "--project",
                 str(self.project), "--cache-dir", str(root / "cache"), *options],
                stdout=subprocess.PIPE, stderr=log, text=True)
        assert self.process.stdout is not None
        line = self.process.stdout.readline()
        self.first_line: str = line
        found = re.search(r"(http://\S+/open/\S+)", line)  # the one-time address
        if not found:
            self.process.kill()
            self.close()
            raise AssertionError(f"no address from vantor studio: {line!r} {self.log.read_text()[-2000:]}")
        self.address: str = found.group(1)
        self.origin: str = self.address.split("/", 3)[0] + "//" + self.address.split("/", 3)[2]

    def close(self) -> None:
        self.process.send_signal(signal.SIGTERM)
        try:
            self.process.wait(timeout=20)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        if self.process.stdout is not None:
            self.process.stdout.close()


def processes_mentioning(text: str) -> list[str]:
    """Command lines of running processes that contain `text`."""
    found = []
    for entry in Path("/proc").iterdir():
        if not entry.name.isdigit():
            continue
        try:
            cmdline = (entry / "cmdline").read_bytes().replace(b"\0", b" ").decode(errors="replace")
        except OSError:
            continue
        if text in cmdline and str(os.getpid()) != entry.name:
            found.append(f"{entry.name}: {cmdline[:200]}")
    return found


def wait_for(driver: Any, script: str, timeout: float = WAIT, *args: object) -> Any:
    """Polls `script` (a JavaScript expression's body: `return ...`) until truthy."""
    deadline = time.monotonic() + timeout
    while True:
        value = driver.execute_script(script, *args)
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out waiting for: {script}")
        time.sleep(0.1)


def put_draft(driver: Any, url: str, ranges: list[dict[str, str]], voice: str = "en-US-GuyNeural") -> None:
    """Opens the page with a draft as a reload would find it."""
    draft = {"url": url, "ranges": [{**r, "voice": voice} for r in ranges], "voice": voice, "speed": 1.5}
    driver.execute_script("localStorage.setItem('vantor-studio-draft', arguments[0])", json.dumps(draft))
    driver.refresh()
    wait_for(driver, "return document.querySelectorAll('#voice option').length > 0")
