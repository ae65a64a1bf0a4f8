"""Shared fixtures: the engine module with its namespace restored after each
test, and synthetic media made with ffmpeg."""

from __future__ import annotations

import signal

import pytest

import vantor.vantor as engine_module
from standins.media import make_narration_mp3, make_source_video

# A suite started in the background of a non-interactive shell inherits an
# ignored SIGINT, and so would every child it starts: the interrupt tests
# need children that Ctrl-C reaches, as it does on a terminal.
if signal.getsignal(signal.SIGINT) == signal.SIG_IGN:
    signal.signal(signal.SIGINT, signal.default_int_handler)


@pytest.fixture
def engine():
    """vantor.vantor; every name a test rebinds is put back afterwards."""
    saved = dict(vars(engine_module))
    yield engine_module
    for name in list(vars(engine_module)):
        if name not in saved:
            delattr(engine_module, name)
    for name, value in saved.items():
        if vars(engine_module).get(name) is not value:
            setattr(engine_module, name, value)


@pytest.fixture(scope="session")
def source_video(tmp_path_factory) -> str:
    """A 12 s 640x360 H.264/AAC video with picture and sound."""
    path = tmp_path_factory.mktemp("media") / "source.mp4"
    return make_source_video(str(path), seconds=12.0)


@pytest.fixture
def fake_services(engine, source_video):
    """Rebinds the download and the narration to local stand-ins that write
    real media: the download copies the synthetic source, the narration is
    a short real MP3. Returns the list of calls made."""
    import shutil

    calls: list[tuple] = []

    def download(url, output_file):
        calls.append(("download", url, output_file))
        shutil.copyfile(source_video, output_file)

    def narrate(text, output_file, voice):
        calls.append(("tts", text, output_file, voice))
        make_narration_mp3(output_file, text, seconds=1.5)

    engine._download_video = download
    engine._generate_tts = narrate
    return calls


@pytest.fixture
def standins(engine, source_video):
    """Both stand-in services, reached by the engine as a host reaches them
    (bound on the module), with the engine's pauses not waited:
    (download, speech, router)."""
    from types import SimpleNamespace

    from standins import serve

    with serve(source_video) as (download, speech, router):
        engine.requests = router
        engine.time = SimpleNamespace(sleep=lambda seconds: None)
        yield download, speech, router


@pytest.fixture(scope="module")
def film(tmp_path_factory):
    """The page address of a 12 s, 25 frames a second film on a loopback site."""
    from vantor.demo.source_video import make_source_video as make_film
    from vantor.demo.video_site import VideoSite

    root = tmp_path_factory.mktemp("site")
    video = make_film(str(root / "film.mp4"), seconds=12.0)
    with VideoSite(root / "www") as site:
        yield site.publish(video, "film")[0]
