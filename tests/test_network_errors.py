"""What a failed download says happened, for a public address (no such
name, a refused connection, a time-out, the page's status, a refused
certificate, no video) and for a private one (one refusal, no port scan);
how batch reads each; and that -v adds yt-dlp's own words.

All servers are on loopback; 127.0.0.2 plays a public address."""

from __future__ import annotations

import socket
from types import SimpleNamespace

import pytest

from hostile_site import Site, body
from test_hostile_sources import PUBLIC, outcome, public_127_0_0_2, served  # noqa: F401 (fixture)
from vantor.recap.engine.failures import classify
from vantor.recap.engine.messages import explain
from vantor.services import DownloadError, source_guard
from vantor.services.ytdlp_backend import _public_error


def _status(code: int):
    return lambda h: h.send_error(code)


def _closed_port(host: str) -> int:
    with socket.socket() as s:
        s.bind((host, 0))
        return s.getsockname()[1]


def _self_signed_site(tmp_path):
    """A page served over TLS with a certificate nobody signed."""
    import ssl

    from vantor.batch.cluster import _temporary_credentials

    key, cert = _temporary_credentials()
    (tmp_path / "key.pem").write_text(key)
    (tmp_path / "cert.pem").write_text(cert)
    site = Site({"/film": body(b"<html></html>", "text/html")}, host=PUBLIC)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(tmp_path / "cert.pem", tmp_path / "key.pem")
    site.server.socket = context.wrap_socket(site.server.socket, server_side=True)
    return site


def test_a_public_address_says_what_happened(tmp_path, public_127_0_0_2, monkeypatch):
    real = source_guard._resolve
    monkeypatch.setattr(source_guard, "_resolve", lambda host, port: (
        (_ for _ in ()).throw(socket.gaierror(-2, "Name or service not known")) if host == "nosuch.test"
        else real(host, port)))
    routes = {f"/{code}": _status(code) for code in (403, 404, 410, 429)}
    routes["/page.html"] = body(b"<html><body><p>No film here.</p></body></html>", "text/html")
    with Site(routes, host=PUBLIC) as site, served(tmp_path, "refuse") as server:
        said = {path: outcome(server, site.base_url + path) for path in [*routes]}
        said["name"] = outcome(server, "http://nosuch.test/film")
        said["closed"] = outcome(server, f"http://{PUBLIC}:{_closed_port(PUBLIC)}/film")
        with _self_signed_site(tmp_path) as tls:
            said["tls"] = outcome(server, tls.base_url.replace("http:", "https:") + "/film")
    errors = {what: answer["error"] for what, answer in said.items()}
    assert errors == {"/403": "the page answered HTTP 403 (forbidden)", "/404": "the page answered HTTP 404 (not found)",
                      "/410": "the page answered HTTP 410 (gone)", "/429": "the page answered HTTP 429 (too many requests)",
                      "/page.html": "unsupported: the page has no video that yt-dlp can download",
                      "name": "the name nosuch.test does not resolve", "closed": f"{PUBLIC} refused the connection",
                      "tls": "the site's TLS certificate was refused"}
    assert "404" in said["/404"]["detail"] and str(tmp_path) not in said["/404"]["detail"]


@pytest.mark.parametrize("mode, answer", [
    ("refuse", "is private (loopback, local network or reserved); the service fetches public addresses only"),
    ("direct", "the video is unavailable at that address")])
def test_a_private_address_never_says_whether_a_port_is_open(tmp_path, mode, answer):
    with served(tmp_path, mode) as server:
        said = outcome(server, f"http://127.0.0.1:{_closed_port('127.0.0.1')}/film")
    assert answer in said["error"] and "refused" not in said["error"]


@pytest.mark.parametrize("raw, failure, public, private", [
    ("HTTP Error 404: Not Found", None, "HTTP 404 (not found)", "unavailable at that address"),
    ("[SSL: CERTIFICATE_VERIFY_FAILED] certificate verify failed", None, "TLS certificate was refused",
     "unavailable at that address"),
    ("Connection timed out", "h did not answer: the connection timed out", "h did not answer", "stalled"),
    ("HTTP Error 503: Service Unavailable", "h refused the connection", "HTTP 503; try again", "HTTP 503; try again")])
def test_network_words_only_for_public_fetches(raw, failure, public, private):
    for touched_private, expected in ((False, public), (True, private)):
        guard = SimpleNamespace(private_tried=touched_private, network_failure=failure)
        assert expected in _public_error("ERROR: x: " + raw, 60, guard)


@pytest.mark.parametrize("reason, transient, advice", [
    ("the page answered HTTP 429 (too many requests)", True, "try again later"),
    ("h did not answer: the connection timed out", True, "try again later"),
    ("h refused the connection", True, "its port"),
    ("the page answered HTTP 404 (not found)", False, "no page there"),
    ("the page answered HTTP 403 (forbidden)", False, "is public"),
    ("the page answered HTTP 410 (gone)", False, "removed"),
    ("the name x.test does not resolve", False, "typo"),
    ("the site's TLS certificate was refused", False, "certificates"),
    ("unsupported: the page has no video that yt-dlp can download", False, "the video's own page"),
    ("unsupported: yt-dlp cannot read this site's pages any more", False, "-m pip install -U 'yt-dlp[default]'"),
    ("the video is unavailable at that address", False, "check the address")])
def test_batch_and_the_user_read_each_answer(reason, transient, advice):
    local = DownloadError(reason, "HTTP Error 999: raw words")
    engine = Exception("Download API error: " + repr({"success": False, "error": reason, "detail": "raw words"}))
    for error in (local, engine):
        assert classify(error).transient is transient
        said = explain(error)
        assert reason in said and advice in said and "raw words" not in said
        assert ("update yt-dlp" in said) is ("cannot read" in reason)  # only a site yt-dlp no longer reads
        assert explain(error, verbose=True).endswith("(yt-dlp said: " + ("HTTP Error 999: raw words)" if error is local
                                                                          else "raw words)"))
