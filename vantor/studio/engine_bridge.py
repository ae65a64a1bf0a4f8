"""Everything the studio asks of the download service, the speech service
and the recap runs, in one place, so the page's server knows none of it.

- `load_video`: the download service fetches an address, with progress;
  the answer is the service's own file address (Range honoured there).
- `Narrations`: a narration's sound and length for a text and a voice,
  from the speech service, remembered by (voice, text).
- `fit_words`: what the merge will do with a range and its narration.
- `start_make`: one recap, with its progress lines and a `cancel()`.

A recap runs as its own `vantor recap` process in a private working folder:
the engine's run path redirects the process's stdout and rebinds names on
the engine module while it runs, so two recaps in one server process would
mix their progress and services, and a run in a thread cannot be stopped.
A process group can: `cancel()` ends it with every ffmpeg and wget it
started, and the result reaches the project folder only by a rename after
success, so nothing half-written ever has a result's name.
"""

from __future__ import annotations

import base64
import binascii
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
from collections import OrderedDict
from collections.abc import Callable
from dataclasses import dataclass
from pathlib import Path
from typing import Any
from urllib.parse import quote

__all__ = ["BridgeError", "FIT_TOLERANCE", "Fit", "LoadedVideo", "MadeRecap", "MakeRun", "Narrations", "discard",
           "fit_words", "load_video", "start_make"]

REQUEST_TIMEOUT = 60
POLL_SECONDS = 0.25
# A narration this close to its range's length counts as fitting: the cut
# lands on a key frame anyway, and a quarter second at a range's end goes unheard.
FIT_TOLERANCE = 0.25
# How long a cancelled run gets to stop on SIGTERM before it is killed.
CANCEL_GRACE = 5.0
REMEMBERED_NARRATIONS = 512


class BridgeError(Exception):
    """A service's or a run's reason, in one line for the page."""


def _requests() -> Any:
    import requests  # loaded on first use, as the services' clients do

    return requests


# --------------------------------------------------------------------------
# Load
# --------------------------------------------------------------------------
@dataclass(frozen=True)
class LoadedVideo:
    file_url: str  # the download service's address for the finished file
    duration: float | None
    frame_rate: float | None


def _probe_stream(file_url: str) -> tuple[float | None, float | None]:
    """(duration, frames per second) of the video at `file_url`, by ffprobe."""
    done = subprocess.run(
        ["ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries", "format=duration:stream=r_frame_rate",
         "-of", "json", file_url], capture_output=True, text=True, timeout=REQUEST_TIMEOUT)
    try:
        data = json.loads(done.stdout)
        duration = float(data["format"]["duration"])
    except (ValueError, KeyError, TypeError):
        return None, None
    rate = None
    streams = data.get("streams") or [{}]
    num, _, den = str(streams[0].get("r_frame_rate", "")).partition("/")
    try:
        rate = float(num) / float(den or 1)
    except (ValueError, ZeroDivisionError):
        pass
    return duration, rate if rate and 1 <= rate <= 240 else None


def load_video(services_url: str, url: str, on_progress: Callable[[int, str], None],
               cancelled: threading.Event) -> LoadedVideo:
    """Has the download service fetch `url`; `on_progress(per_mille, figures)`
    while it runs. Raises BridgeError with the service's reason."""
    requests = _requests()
    try:
        answer = requests.get(f"{services_url}/ajax/download.php?format=1080&url={quote(url, safe='')}",
                              timeout=REQUEST_TIMEOUT).json()
        if not answer.get("success"):
            raise BridgeError(answer.get("error") or "the download service refused the video")
        while not cancelled.is_set():
            status = requests.get(answer["progress_url"], timeout=REQUEST_TIMEOUT).json()
            if not status.get("success"):
                raise BridgeError(status.get("error") or "the download failed")
            per_mille = int(status.get("progress") or 0)
            on_progress(per_mille, _figures(status))
            if per_mille >= 1000 and status.get("download_url"):
                duration, rate = _probe_stream(status["download_url"])
                return LoadedVideo(status["download_url"], duration, rate)
            time.sleep(POLL_SECONDS)
    except requests.RequestException as error:
        raise BridgeError(f"the download service did not answer: {error}") from None
    except (ValueError, KeyError, TypeError, AttributeError):
        raise BridgeError("the download service's answer was not what it should be") from None
    raise BridgeError("the load was stopped")


def _figures(status: dict[str, object]) -> str:
    from ..recap.progress_view import human_size

    done, total = status.get("downloaded_bytes"), status.get("total_bytes")
    if not isinstance(done, int):
        return ""
    return f"{human_size(done)} of {human_size(total if isinstance(total, int) else None)}"


# --------------------------------------------------------------------------
# Narrations
# --------------------------------------------------------------------------
def _mp3_seconds(audio: bytes) -> float:
    with tempfile.NamedTemporaryFile(suffix=".mp3") as f:
        f.write(audio)
        f.flush()
        done = subprocess.run(["ffprobe", "-v", "error", "-show_entries", "format=duration", "-of", "csv=p=0",
                               f.name], capture_output=True, text=True, timeout=REQUEST_TIMEOUT)
    try:
        return float(done.stdout.strip())
    except ValueError:
        raise BridgeError("the speech service's answer is not audio ffprobe can read") from None


class Narrations:
    """The speech service's narrations with their lengths. The service
    caches the sound; this remembers the length, so a fit asked again while
    typing costs nothing."""

    def __init__(self, services_url: str) -> None:
        self.services_url: str = services_url
        self._lengths: OrderedDict[tuple[str, str], float] = OrderedDict()
        self._lock = threading.Lock()

    def audio(self, text: str, voice: str) -> tuple[bytes, float]:
        """The narration's MP3 and its length in seconds."""
        requests = _requests()
        try:
            answer = requests.post(f"{self.services_url}/api/generate-audio-frontend",
                                   json={"text": text, "voice": voice}, timeout=REQUEST_TIMEOUT)
            body = answer.json()
        except requests.RequestException as error:
            raise BridgeError(f"the speech service did not answer: {error}") from None
        except ValueError:
            raise BridgeError(f"the speech service answered {answer.status_code} without JSON") from None
        data = body.get("audio_data") if isinstance(body, dict) else None
        if not isinstance(data, str) or "," not in data:
            raise BridgeError(str(body.get("error") if isinstance(body, dict) else "") or "the speech service failed")
        try:
            audio = base64.b64decode(data.split(",", 1)[1], validate=True)
        except binascii.Error:
            raise BridgeError("the speech service's audio is not base64") from None
        seconds = _mp3_seconds(audio)
        self._remember((voice, text), seconds)
        return audio, seconds

    def seconds(self, text: str, voice: str) -> float:
        with self._lock:
            known = self._lengths.get((voice, text))
            if known is not None:
                self._lengths.move_to_end((voice, text))
                return known
        return self.audio(text, voice)[1]

    def _remember(self, key: tuple[str, str], seconds: float) -> None:
        with self._lock:
            self._lengths[key] = seconds
            self._lengths.move_to_end(key)
            while len(self._lengths) > REMEMBERED_NARRATIONS:
                self._lengths.popitem(last=False)


@dataclass(frozen=True)
class Fit:
    verdict: str  # "fits", "long" (the narration's end is cut), "short" (the range is cut)
    words: str

    def as_json(self) -> dict[str, str]:
        return {"verdict": self.verdict, "words": self.words}


def fit_words(range_seconds: float, narration_seconds: float) -> Fit:
    """Each merged clip ends at the shorter of the range's clip and its
    narration: a longer narration loses its last words, a longer range is
    cut to the narration."""
    difference = narration_seconds - range_seconds
    if difference > FIT_TOLERANCE:
        return Fit("long", f"the narration ({narration_seconds:.1f} s) is {difference:.1f} s longer than its range "
                           f"({range_seconds:.1f} s): its last words will be cut; widen the range or shorten the text")
    if -difference > FIT_TOLERANCE:
        return Fit("short", f"the range ({range_seconds:.1f} s) will be cut to the narration "
                            f"({narration_seconds:.1f} s)")
    return Fit("fits", f"the narration ({narration_seconds:.1f} s) fits its range ({range_seconds:.1f} s)")


# --------------------------------------------------------------------------
# Make
# --------------------------------------------------------------------------
@dataclass(frozen=True)
class MadeRecap:
    final: Path
    duration: float


class MakeRun:
    """One `vantor recap` process in `work_dir`. `on_line` gets each
    progress line as the command line shows it; `wait()` returns the result
    or raises BridgeError; `cancel()` stops it and every child it started."""

    def __init__(self, args: list[str], work_dir: Path, on_line: Callable[[str], None]) -> None:
        self.work_dir: Path = work_dir
        self._on_line = on_line
        self.cancelled: bool = False
        env = {**os.environ, "PYTHONUNBUFFERED": "1"}
        self._process = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, stdin=subprocess.DEVNULL,
                                         text=True, errors="replace", start_new_session=True, env=env)
        self.pgid: int = self._process.pid  # its own session: the group holds every child
        self._last_line = ""
        self._reader = threading.Thread(target=self._read, name=f"vantor-studio-run:{self.pgid}", daemon=True)
        self._reader.start()

    def _read(self) -> None:
        assert self._process.stderr is not None
        for line in self._process.stderr:
            line = line.rstrip("\n").rsplit("\r", 1)[-1]
            if line.strip():
                self._last_line = line
                self._on_line(line)

    def wait(self) -> MadeRecap:
        assert self._process.stdout is not None and self._process.stderr is not None
        with self._process.stdout:
            stdout = self._process.stdout.read()
        status = self._process.wait()
        self._end_group()
        self._reader.join(timeout=10)
        self._process.stderr.close()
        if self.cancelled:
            raise BridgeError("cancelled")
        if status != 0:
            reason = self._last_line.removeprefix("vantor: ") or f"the recap ended with status {status}"
            raise BridgeError(reason)
        try:
            result = json.loads(stdout.strip().splitlines()[-1])
            final = Path(result["outputs"]["final"])
            duration = float(result["durations"]["final"])
        except (ValueError, KeyError, IndexError, TypeError):
            raise BridgeError("the recap's result could not be read") from None
        if not final.is_file() or final.stat().st_size == 0:
            raise BridgeError("the recap reported success but its file is missing")
        return MadeRecap(final, duration)

    def cancel(self) -> None:
        """SIGTERM to the whole group, SIGKILL after a grace. (Not SIGINT: a
        studio started in the background of a shell passes SIGINT on ignored.)"""
        self.cancelled = True
        self._signal(signal.SIGTERM)
        try:
            self._process.wait(timeout=CANCEL_GRACE)
        except subprocess.TimeoutExpired:
            pass
        self._end_group()

    def _signal(self, sig: int) -> bool:
        try:
            os.killpg(self.pgid, sig)
            return True
        except ProcessLookupError:
            return False

    def _end_group(self) -> None:
        # The recap is gone; a child it left behind (an ffmpeg it did not reap) is not.
        if self._signal(signal.SIGKILL):
            for _ in range(100):  # bounded: 5 s
                if not self._signal(0):
                    break
                time.sleep(0.05)

    def alive(self) -> bool:
        return self._process.poll() is None


def start_make(*, services_url: str, url: str, segments: list[dict[str, str]], voice: str, speed: float,
               work_dir: Path, on_line: Callable[[str], None]) -> MakeRun:
    """Starts one recap of `url` in `work_dir` (created), talking to the
    studio's own services."""
    work_dir.mkdir(parents=True)
    segments_file = work_dir / "segments.json"
    segments_file.write_text(json.dumps(segments, ensure_ascii=False, indent=2), encoding="utf-8")
    output = work_dir / "out"
    args = [sys.executable, "-m", "vantor", "recap", url, str(segments_file), "--voice", voice,
            "--speed", repr(float(speed)), "--output-dir", str(output), "--mkdir", "--services", services_url, "--json"]
    return MakeRun(args, work_dir, on_line)


def discard(work_dir: Path) -> None:
    shutil.rmtree(work_dir, ignore_errors=True)
