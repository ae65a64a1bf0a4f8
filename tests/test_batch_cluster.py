"""Who may use the batch's Dask cluster: the embedded one listens on
loopback only and refuses every client without this run's TLS
credentials; a running scheduler is reached with the credentials given."""

from __future__ import annotations

import json
import socket
import ssl

import pytest
import requests

from vantor.batch.cluster import (ClusterSecurityError, remote_security, scheduler_address, start_private_cluster,
                                  temporary_security, unencrypted_note)
from vantor.batch.progress import BatchProgress

pytestmark = pytest.mark.slow

distributed = pytest.importorskip("distributed")
psutil = pytest.importorskip("psutil")


def listeners():
    """(host, port) of every listening TCP socket of this process and its children."""
    found = set()
    for process in [psutil.Process(), *psutil.Process().children(recursive=True)]:
        try:
            found |= {(c.laddr.ip, c.laddr.port) for c in process.net_connections("inet")
                      if c.status == psutil.CONN_LISTEN}
        except psutil.NoSuchProcess:
            pass
    return found


@pytest.fixture(scope="module")
def private_cluster():
    client, cluster = start_private_cluster(1)
    try:
        yield client, cluster
    finally:
        client.close()
        cluster.close()


def test_only_the_holder_of_the_runs_credentials_gets_in(private_cluster):
    from distributed import Client

    client, cluster = private_cluster
    address = cluster.scheduler_address
    assert address.startswith("tls://127.0.0.1:")
    assert client.submit(lambda x: x + 1, 1).result(timeout=60) == 2  # the batch's own client works

    # Plain TCP, and TLS with another run's credentials, are both turned away.
    with pytest.raises((OSError, TimeoutError)):
        Client(address.replace("tls://", "tcp://"), timeout=5)
    with pytest.raises((OSError, TimeoutError)):
        Client(address, security=temporary_security(), timeout=5)

    # A TLS client that trusts anything but has no certificate of its own
    # fails the handshake: the scheduler demands one.
    host, port = address.removeprefix("tls://").rsplit(":", 1)
    context = ssl.create_default_context()
    context.check_hostname, context.verify_mode = False, ssl.CERT_NONE
    with socket.create_connection((host, int(port)), timeout=10) as raw, \
            pytest.raises(ssl.SSLError, match="CERTIFICATE_REQUIRED"):
        with context.wrap_socket(raw) as tls:
            tls.recv(1)  # TLS 1.3 reports the refusal on the first read (sending first could meet a reset)

def test_no_listener_beyond_loopback_and_no_pages(private_cluster):
    _, cluster = private_cluster
    bound = listeners()
    assert bound and {host for host, _ in bound} == {"127.0.0.1"}, bound
    # The scheduler's HTTP side answers its health check and nothing else.
    pages = f"http://127.0.0.1:{cluster.scheduler.http_server.port}"
    assert requests.get(f"{pages}/health", timeout=10).text == "ok"
    for page in ("/info/main/workers.html", "/json/identity.json", "/metrics"):
        assert requests.get(pages + page, timeout=10).status_code == 404, page


class Watching(BatchProgress):
    """Records the listening sockets while the batch's jobs are in flight."""

    def __init__(self):
        super().__init__(0, None)
        self.seen: set[tuple[str, int]] = set()

    def set_running(self, running):
        self.seen |= listeners()
        super().set_running(running)


def test_a_running_batch_listens_on_loopback_only(tmp_path):
    from vantor.batch import run

    jobs = tmp_path / "jobs.jsonl"
    jobs.write_text(json.dumps({"url": "https://x.test/v", "segments": "missing.json", "voice": "v",
                                "output_dir": "out"}) + "\n")
    watching = Watching()
    report = run(jobs, workers=1, services="configured", progress=watching)
    assert report.jobs[0].status == "failed" and report.dashboard is None
    assert len(watching.seen) >= 3  # scheduler, nanny, worker at least
    assert {host for host, _ in watching.seen} == {"127.0.0.1"}, watching.seen


def test_credentials_for_a_running_scheduler(tmp_path):
    assert remote_security(None, None, None) is None  # Dask's own configuration decides
    for partial in ((str(tmp_path / "ca.pem"), None, None), (None, str(tmp_path / "cert.pem"), None)):
        with pytest.raises(ClusterSecurityError, match="needs both"):
            remote_security(*partial)
    with pytest.raises(ClusterSecurityError, match="cannot read"):
        remote_security(str(tmp_path / "ca.pem"), str(tmp_path / "cert.pem"), None)
    for name in ("ca.pem", "cert.pem"):
        (tmp_path / name).write_text("x")
    given = remote_security(str(tmp_path / "ca.pem"), str(tmp_path / "cert.pem"), None)
    assert given.require_encryption and given.tls_client_cert == str(tmp_path / "cert.pem")

    assert scheduler_address("10.0.0.1:8786", given) == "tls://10.0.0.1:8786"
    assert scheduler_address("tls://10.0.0.1:8786", given) == "tls://10.0.0.1:8786"
    with pytest.raises(ClusterSecurityError, match="must start with tls://"):
        scheduler_address("tcp://10.0.0.1:8786", given)
    assert scheduler_address("tcp://10.0.0.1:8786", None) == "tcp://10.0.0.1:8786"

    assert "not encrypted" in unencrypted_note("tcp://10.0.0.1:8786", None)
    assert "not encrypted" in unencrypted_note("10.0.0.1:8786", None)
    assert unencrypted_note("tls://10.0.0.1:8786", None) is None
    assert unencrypted_note("tls://10.0.0.1:8786", given) is None


def test_tls_options_belong_to_a_scheduler(tmp_path, capsys):
    from vantor.cli import main

    jobs = tmp_path / "jobs.jsonl"
    (tmp_path / "seg.json").write_text('[{"start": "1", "end": "2", "voiceover": "x"}]')
    jobs.write_text(json.dumps({"url": "https://x.test/v", "segments": "seg.json", "voice": "v",
                                "output_dir": "out"}) + "\n")
    with pytest.raises(SystemExit) as exit_:
        main(["batch", str(jobs), "--tls-cert", str(tmp_path / "c.pem")])
    assert exit_.value.code == 2 and "are for --scheduler" in capsys.readouterr().err
    assert main(["batch", str(jobs), "--scheduler", "tcp://127.0.0.1:1", "--tls-ca-file", str(jobs),
                 "--tls-cert", str(jobs)]) == 1
    assert capsys.readouterr().err.strip().endswith("must start with tls://")
