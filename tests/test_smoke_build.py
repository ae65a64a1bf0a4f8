"""The developer build leaves an importable package in the source tree."""

from pathlib import Path

import vantor
import vantor.vantor
from vantor import _service_settings as settings

PACKAGE_DIR = Path(__file__).resolve().parent.parent / "vantor"


def test_module_and_settings_come_from_the_tree() -> None:
    # make build copies the module and the generated settings into vantor/.
    for module in (vantor, vantor.vantor, settings):
        assert Path(module.__file__ or "").resolve().parent == PACKAGE_DIR
    assert settings.DOWNLOAD_API_BASE.startswith(f"https://{settings.DOWNLOAD_API_HOST}")
    assert settings.DOWNLOAD_ORIGIN.startswith("https://")
    assert settings.DOWNLOAD_ORIGIN != settings.DOWNLOAD_API_BASE
    assert settings.TTS_HOST and "/" not in settings.TTS_HOST
