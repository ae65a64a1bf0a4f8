"""The services' rules against a hostile page or another local user: a
private destination only from a private start, IPv6 forms judged by the IPv4
address they carry, a cached file served only where its fetch is allowed,
speech shared fairly, and no forwarded header believed.

As in test_hostile_sources, 127.0.0.2 plays the public internet and
127.0.0.1 the internal network; test names are resolved by a table at the
guard's own lookup (as /etc/hosts would resolve them)."""

from __future__ import annotations

import http.client
import ipaddress
import json
import re
import socket
import subprocess
import sys
import threading
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import pytest
import requests

from child_env import child_env
from hostile_site import Site, body, redirect, silent, wait_for
from service_helpers import GatedBackend, ask, poll_until_done
from test_hostile_sources import PUBLIC, media_hash, outcome, public_127_0_0_2, served  # noqa: F401  (fixture)
from vantor.services import source_guard
from vantor.services.limits import Limits
from vantor.services.narrator import Narrator
from vantor.services.server import InProcessServer, Services

ROOT = Path(__file__).resolve().parents[1]
SPEECH = "/api/generate-audio-frontend"


def resolve_names(monkeypatch, table: dict[str, list[list[str]]]) -> None:
    """Each name in `table` resolves to its next list of addresses (the last
    one again once they run out); other names as usual."""
    answers = {name: iter(lists) for name, lists in table.items()}
    last: dict[str, list[str]] = {}

    def resolve(host, port):
        if host not in answers:
            return socket.getaddrinfo(host, port, 0, socket.SOCK_STREAM)
        last[host] = next(answers[host], last.get(host))
        return [(socket.AF_INET, socket.SOCK_STREAM, 6, "", (address, port)) for address in last[host]]

    monkeypatch.setattr(source_guard, "_resolve", resolve)


@pytest.mark.parametrize("case", ["mixed name", "pinned name", "public leads back"])
def test_a_private_job_stays_private_from_its_start(tmp_path, source_video, public_127_0_0_2, monkeypatch,  # noqa: F811
                                                    case):
    secret = Path(source_video).read_bytes()
    with Site({"/secret.mp4": body(secret)}, keep_alive=True) as internal:  # so a pooled connection could be reused
        port = internal.server.server_address[1]
        internal.routes["/go"] = redirect(f"http://{PUBLIC}:{port}/back")
        routes = {"/go": redirect(f"http://127.0.0.1:{port}/secret.mp4"),
                  "/back": redirect(f"http://lan.test:{port}/secret.mp4")}
        with Site(routes, host=PUBLIC, port=port) as public, served(tmp_path, "direct") as server:
            resolve_names(monkeypatch, {"mixed.test": [[PUBLIC, "127.0.0.1"]],
                                        "lan.test": [["127.0.0.1"], [PUBLIC]] if case == "pinned name" else [["127.0.0.1"]]})
            address = {"mixed name": f"http://mixed.test:{port}/go", "pinned name": f"http://lan.test:{port}/secret.mp4",
                       "public leads back": f"http://lan.test:{port}/go"}[case]
            last = outcome(server, address)
            if case == "pinned name":  # the name's second answer (public) is never connected
                assert last["success"]
                (tmp_path / "got.mp4").write_bytes(requests.get(last["download_url"], timeout=30).content)
                assert media_hash(tmp_path / "got.mp4") == media_hash(source_video)  # rewritten, the same media
                assert public.hits == []
            else:
                said = "both public and private" if case == "mixed name" else "reached from a public page"
                assert last["success"] is False and said in last["error"], last
                assert "/secret.mp4" not in internal.hits and public.hits == ([] if case == "mixed name" else ["/back"])


@pytest.mark.parametrize("address, carried, public", [
    ("64:ff9b::7f00:1", ["127.0.0.1"], False), ("64:ff9b::a00:1", ["10.0.0.1"], False),
    ("64:ff9b::808:808", ["8.8.8.8"], True), ("64:ff9b:1::a9fe:a9fe", ["169.254.169.254"], False),
    ("2002:7f00:1::1", ["127.0.0.1"], False), ("2002:c0a8:101::1", ["192.168.1.1"], False),
    ("2001:0:4136:e378:8000:63bf:80ff:fffe", ["127.0.0.1"], False),  # Teredo, client XOR 0xffffffff
    ("::127.0.0.1", ["127.0.0.1"], False), ("::a9fe:a9fe", ["169.254.169.254"], False),
    ("::8.8.8.8", ["8.8.8.8"], True), ("::ffff:10.0.0.1", ["10.0.0.1"], False), ("::ffff:8.8.8.8", ["8.8.8.8"], True),
    ("2606:4700::1111", [], True), ("::1", ["0.0.0.1"], False), ("::1:7f00:1", [], True)])
def test_ipv6_forms_are_judged_by_the_ipv4_address_they_carry(address, carried, public):
    assert source_guard.embedded_ipv4(ipaddress.IPv6Address(address)) == list(map(ipaddress.IPv4Address, carried))
    assert source_guard.is_public(address) is public


@pytest.mark.parametrize("rule, reach, host, admitted", [
    ("refuse", "public", "127.0.0.1", True), ("refuse", "private", "127.0.0.1", False),
    ("refuse", "any", "8.8.8.8", False), ("direct", "private", "127.0.0.1", True),
    ("direct", "private", "8.8.8.8", False), ("direct", "any", "127.0.0.1", False), ("allow", "any", "8.8.8.8", True)])
def test_a_cached_file_is_admitted_as_its_fetch_would_be(rule, reach, host, admitted):
    assert source_guard.admits(rule, f"http://{host}/film.mp4", reach) is admitted


def test_a_private_file_cached_by_a_run_is_not_served_by_a_public_only_service(tmp_path, source_video):
    with Site({"/film.mp4": body(Path(source_video).read_bytes())}) as internal:
        address = internal.base_url + "/film.mp4"
        with served(tmp_path, "direct") as run:  # an in-process recap's services
            assert outcome(run, address)["progress"] == 1000
        fetched = list(internal.hits)
        with served(tmp_path, "refuse") as service:  # vantor serve without --allow-private-sources
            last = outcome(service, address)
            assert last["success"] is False and "private" in last["error"], last
        with served(tmp_path, "direct") as again:
            assert outcome(again, address)["progress"] == 1000
        assert internal.hits == fetched  # neither fetched it again


class HeldSpeech(Narrator):
    """Narrations of "flood" texts wait for a permit, so the test holds the
    speech workers as long as it needs (a real voice cannot be held up)."""

    def __init__(self) -> None:
        super().__init__()
        self.permits = threading.Semaphore(0)
        self.speaking = 0

    def speak(self, text: str, voice: str) -> bytes:
        if text.startswith("flood"):
            self.speaking += 1
            self.permits.acquire(timeout=60)
        return b"ID3 " + text.encode()


def speak_from(source: str, port: int, path: str, text: str) -> tuple[int, str]:
    """A narration asked from the local address `source` (another client)."""
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=60, source_address=(source, 0))
    try:
        connection.request("POST", path, json.dumps({"text": text, "voice": "en-us"}),
                           {"Content-Type": "application/json"})
        answer = connection.getresponse()
        return answer.status, answer.read().decode()
    finally:
        connection.close()


def test_a_speech_flood_leaves_files_progress_and_other_clients_served(tmp_path, source_video):
    speech, download = HeldSpeech(), GatedBackend(source_video)
    download.release.set()
    limits = Limits(max_speech=2, max_speech_per_client=4, max_speech_queued=5)
    server = InProcessServer(Services(tmp_path / "cache", limits=limits, speech_backend=speech, download_backend=download))
    path = server.base_url.removeprefix(f"http://127.0.0.1:{server.port}") + SPEECH
    pool = ThreadPoolExecutor(47)
    try:
        job = ask(server.base_url, "https://v.example/film")
        done = poll_until_done(job["progress_url"])[-1]
        flood = [pool.submit(speak_from, "127.0.0.1", server.port, path, f"flood {n}") for n in range(45)]
        wait_for(lambda: speech.speaking == 2 and sum(f.done() for f in flood) == 41)
        # While both workers are held: the file and its progress, another client's turn, a third one refused.
        assert requests.get(done["download_url"], timeout=30).content == Path(source_video).read_bytes()
        assert requests.get(job["progress_url"], timeout=30).json()["progress"] == 1000
        other = pool.submit(speak_from, "127.0.0.2", server.port, path, "my own line")
        wait_for(lambda: server.services.speech_queue.held == 5)
        status, text = pool.submit(speak_from, "127.0.0.3", server.port, path, "and mine").result(timeout=10)
        assert status == 503 and "busy: 5 narrations are queued" in text
        speech.permits.release()
        assert other.result(timeout=20)[0] == 200 and not all(f.done() for f in flood)
        speech.permits.release(3)
        answers = [f.result(timeout=60) for f in flood]
        assert sorted(status for status, _ in answers) == [200] * 4 + [503] * 41
        assert all("busy: 4 narrations of this client" in text for status, text in answers if status == 503)
    finally:
        speech.permits.release(50)  # a failed check leaves no narration waiting
        pool.shutdown()
        server.close()


def test_forwarded_headers_neither_make_new_clients_nor_reach_the_log(tmp_path):
    stop = threading.Event()
    with Site({"/slow.html": silent(stop)}) as site:
        server = subprocess.Popen([sys.executable, "-m", "vantor", "serve", "--port", "0", "--cache-dir",
                                   str(tmp_path / "cache"), "--allow-private-sources", "--stall-seconds", "15"],
                                  cwd=ROOT, env=child_env(PYTHONUNBUFFERED="1"), stdout=subprocess.PIPE,
                                  stderr=subprocess.PIPE, text=True)
        try:
            assert server.stdout is not None
            base = server.stdout.readline().split(" on ", 1)[1].split(" ", 1)[0]
            # Loopback addresses, which the client allow-list would let through as clients of their own.
            def forged(n: int) -> dict[str, str]:
                return [{"X-Forwarded-For": f"127.0.{n}.9"}, {"X-Forwarded-For": f"127.0.{n}.9, 127.0.0.1"},
                        {"X-Real-IP": f"127.0.{n}.9"}, {"Forwarded": f"for=127.0.{n}.9;proto=https"}][n % 4]

            job = f"{base}/ajax/download.php?url={site.base_url}/slow.html"
            with ThreadPoolExecutor(30) as pool:
                statuses = sorted(pool.map(lambda n: requests.get(job, headers=forged(n), timeout=60).status_code,
                                           range(30)))
        finally:
            stop.set()
            server.terminate()
            _, err = server.communicate(timeout=30)
    assert statuses == [200] * 16 + [503] * 14
    clients = re.findall(r"^INFO: +([0-9.]+):\d+ - \"GET /<token>/ajax/download\.php", err, re.MULTILINE)
    assert clients == ["127.0.0.1"] * 30 and ".9:" not in err

