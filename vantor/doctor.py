"""`vantor doctor`: is this machine ready for a first real run?"""

from __future__ import annotations

import shutil
from collections.abc import Sequence
from pathlib import Path
from typing import TextIO

from .runner import ChildStopped, run
from .tools import LOCAL_SERVICE_TOOLS, RUN_TOOLS, Tool, install_hint

# The two encoders the conversion tries, in its order.
ENCODERS = ("h264_nvenc", "libx264")
VERSION_FLAGS = {"wget": "--version", "espeak-ng": "--version"}
TOOL_LIMIT_S = 60  # a version line or one encoded frame; a tool that hangs is reported, not waited for


def _first_line(cmd: list[str]) -> str:
    result = run(cmd, text=True, time_limit=TOOL_LIMIT_S)
    lines = (result.stdout or result.stderr).strip().splitlines()
    return lines[0] if lines else f"exit status {result.returncode}"


def try_encoder(encoder: str) -> tuple[bool, str]:
    """Encodes one 1080x1920 frame; (works, the tool's own error)."""
    try:
        result = run(["ffmpeg", "-hide_banner", "-loglevel", "error", "-f", "lavfi", "-i",
                      "color=size=1080x1920:rate=25", "-frames:v", "1", "-c:v", encoder, "-f", "null", "-"],
                     text=True, time_limit=TOOL_LIMIT_S)
    except ChildStopped as stopped:
        return False, str(stopped)
    error = " | ".join(line.strip() for line in result.stderr.strip().splitlines()[-3:])
    return result.returncode == 0, error


def check_tools(tools: tuple[Tool, ...], out: TextIO) -> bool:
    """One line per tool: where it is and its version, or how to install it."""
    found = True
    for tool in tools:
        path = shutil.which(tool.name)
        if path is None:
            print(f"✗ {tool.name}: not found on PATH; it {tool.purpose}: {install_hint((tool,))}", file=out)
            found = False
        else:
            version = _first_line([path, VERSION_FLAGS.get(tool.name, "-version")])
            print(f"✓ {tool.name}: {path} ({version})", file=out)
    return found


def check_encoders(out: TextIO) -> bool:
    """Both encoders; only libx264, the one every machine can use, is required."""
    usable = True
    for encoder in ENCODERS:
        works, error = try_encoder(encoder)
        if works:
            print(f"✓ encoder {encoder}: works", file=out)
        elif encoder == "h264_nvenc":
            # No NVIDIA GPU is normal: said once here, as news rather than a fault.
            print(f"i encoder {encoder}: not available (GPU unavailable, using CPU encoder libx264 instead): "
                  f"{error or 'no message'}", file=out)
        else:
            print(f"✗ encoder {encoder}: not working: {error or 'no message'}; "
                  "the conversion needs it: apt-get install ffmpeg (Debian's build includes it)", file=out)
            usable = False
    return usable


def run_doctor(out: TextIO) -> int:
    ready = check_tools(RUN_TOOLS, out)
    if shutil.which("ffmpeg"):
        ready = check_encoders(out) and ready
    check_recognition(out)
    try:
        from . import _service_settings as settings
    except ImportError:
        print("✗ service settings: module not built; run: make build", file=out)
        ready = False
    else:
        print(f"  download service API: {settings.DOWNLOAD_API_BASE} (origin {settings.DOWNLOAD_ORIGIN})", file=out)
        print(f"  speech service host:  {settings.TTS_HOST}", file=out)
        from .services import placeholder_hosts

        if placeholder_hosts():
            print("  placeholder hosts (.invalid): recaps use the local download and speech services", file=out)
            local = check_local_backends(out)
            ready = ready and local
            print("ready (local services)" if ready else "not ready", file=out)
            return 0 if ready else 1
    print("ready" if ready else "not ready", file=out)
    return 0 if ready else 1


def check_local_backends(out: TextIO) -> bool:
    """yt-dlp (with its JavaScript runtime) and espeak-ng for the local services."""
    usable = True
    try:
        from yt_dlp.version import __version__ as ytdlp_version
    except ImportError:
        print("✗ yt-dlp: not installed; run: pip install 'yt-dlp[default]' deno", file=out)
        usable = False
    else:
        print(f"✓ yt-dlp: {ytdlp_version} (sites change: keep it current with pip install -U 'yt-dlp[default]')",
              file=out)
        try:
            import deno

            print(f"✓ JavaScript runtime for yt-dlp: {deno.find_deno_bin()}", file=out)
        except Exception:  # missing package or binary: only some sites need it
            if shutil.which("deno"):
                print(f"✓ JavaScript runtime for yt-dlp: {shutil.which('deno')}", file=out)
            else:
                print("  note: no deno for yt-dlp; YouTube needs it: pip install deno", file=out)
    usable = check_tools(LOCAL_SERVICE_TOOLS, out) and usable
    check_neural_voice(out)
    check_caption_font(out)
    for module in ("starlette", "uvicorn"):
        try:
            __import__(module)
        except ImportError:
            print(f"✗ {module}: not installed; run: pip install {module}", file=out)
            usable = False
    return usable


def check_caption_font(out: TextIO) -> bool:
    """Burned-in captions (--captions burn) need the font; the rest of a
    recap does not."""
    from .recap.captions.cues import FONT_DIR, FONT_FILE, font_installed

    if font_installed():
        print(f"✓ caption font: {FONT_DIR}/{FONT_FILE}", file=out)
        return True
    print("  note: no caption font: --captions burn needs fonts-dejavu-core (apt-get install fonts-dejavu-core)",
          file=out)
    return False


def check_neural_voice(out: TextIO) -> bool:
    """The neural voice is optional: without it the neural-style names are
    spoken by espeak-ng. True when it is installed."""
    from .services.piper_backend import bundled_voice, piper_version
    from .services.voices import VOICES_DIR_ENV, default_catalog

    from .extras import install_extra

    version, voice = piper_version(), bundled_voice()
    if version is None:
        print("  note: no neural voice (piper is not installed): en-US-GuyNeural and the like are spoken by "
              f"espeak-ng; for the neural voice: {install_extra('neural')}", file=out)
        return False
    if voice is None:
        print(f"  note: piper {version} is installed but not its voice: {install_extra('neural')}", file=out)
        return False
    print(f"✓ neural voice: piper {version} with {voice.name} ({voice.model})", file=out)
    catalog = default_catalog()
    own = [v.name for v in catalog.voices.values() if v.piper is not None and v.piper != voice]
    if own:
        print(f"✓ voices from {VOICES_DIR_ENV}: {', '.join(own)}", file=out)
    for problem in catalog.problems:
        print(f"  note: skipped a voice: {problem}", file=out)
    return True


def check_recognition(out: TextIO, folders: Sequence[Path] | None = None) -> bool:
    """Speech recognition is optional (videos with captions need none): a
    note saying what to install when it is missing. True when it can run."""
    from importlib.metadata import PackageNotFoundError, version

    from .transcripts.recognition import MODEL_NAME, MODEL_PACKAGES, available

    reason = available(folders=folders)
    if reason is not None:
        print(f"  note: no speech recognition (videos without captions get no transcript): {reason}", file=out)
        return False
    try:
        installed = ", ".join(f"{name.replace('_', '-')} {version(name)}" for name in MODEL_PACKAGES)
        engine = f"faster-whisper {version('faster-whisper')}"
    except PackageNotFoundError as missing:  # the files are there without their package's record
        installed, engine = f"{missing} not recorded", "faster-whisper"
    print(f"✓ speech recognition: {MODEL_NAME} ({installed}) with {engine}", file=out)
    return True
