"""The one line a person reads for failures that come from the engine, the
services or the network: the reason in their terms and what to do."""

from __future__ import annotations

import contextlib

import pytest
import requests

from vantor.recap.engine.messages import explain
from vantor.services import DownloadError



def _unreachable(url: str, kind: type[requests.RequestException] = requests.ConnectionError) -> Exception:
    return kind("HTTPSConnectionPool(host=...): Max retries exceeded with url: ... (Caused by NameResolutionError"
                "(... Failed to resolve ...))", request=requests.Request("GET", url).prepare())


@pytest.mark.parametrize("error, line", [
    (Exception("Download API error: {'success': False, 'error': 'Video unavailable. This video is private'}"),
     f"the download service refused the video: Video unavailable. This video is private; check the address"),
    (Exception("Download API error: {'success': False}"),  # no reason given: the answer itself
     f"the download service refused the video: {{'success': False}}; check the address"),
    (Exception("Download API error: download_url 'ftp://x' is not an http or https address"),
     "the download service refused the video: download_url 'ftp://x' is not an http or https address; "
     f"check the address"),
    (Exception("Download timed out after 3 minutes"),
     "the download service did not finish the video within 3 minutes; try again (a finished download is kept), "
     "or use the local services (--services local), which wait for it"),
    (Exception("TTS failed for voice en-US-Nobody: HTTP 400"),
     "the speech service refused the voice en-US-Nobody; choose another --voice (vantor voices)"),
    (Exception("TTS failed for voice en-us: HTTP 503"),
     "the speech service failed for the voice en-us (HTTP 503); try again later"),
    (DownloadError("ERROR: [generic] Unable to download webpage: HTTP Error 404: Not Found"),
     "the video could not be downloaded: ERROR: [generic] Unable to download webpage: HTTP Error 404: Not Found; "
     f"check the address"),
    (_unreachable("https://api.vidfetch.invalid/ajax/download.php?url=x"),
     "api.vidfetch.invalid is a placeholder host of this build; use the local services (--services local) "
     "or build with real service hosts"),
    (_unreachable("http://10.0.0.7:8765/ajax/download.php"),
     "10.0.0.7:8765 cannot be reached; check the network, or that the service (vantor serve) is running there"),
    (_unreachable("http://127.0.0.1:8765/progress/1", requests.ReadTimeout),
     "127.0.0.1:8765 did not answer in time; check the network, or that the service (vantor serve) is running there"),
    (PermissionError(13, "Permission denied", "/srv/out/movie.mp4"), "/srv/out/movie.mp4: permission denied"),
    (KeyError("duration"), "KeyError: 'duration' (--debug shows where)"),
])
def test_failures_read_as_one_line_with_what_to_do(error, line):
    assert explain(error) == line
    assert "\n" not in line



def test_a_private_address_refused_by_vantor_serve_names_the_flag_that_allows_it(tmp_path):
    from service_helpers import ask
    from vantor.services.server import InProcessServer, Services, new_token

    with contextlib.closing(InProcessServer(Services(tmp_path / "cache", token=new_token()))) as server:
        refused = ask(server.base_url, "http://127.0.0.1:9/film.mp4")  # as `vantor serve` answers
    for error in (DownloadError(refused["error"]), Exception(f"Download API error: {refused!r}")):
        assert explain(error).endswith("; the service fetches public addresses only; if the address is on your own "
                                       "network, start vantor serve with --allow-private-sources"), explain(error)
