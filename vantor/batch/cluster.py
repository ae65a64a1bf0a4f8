"""The Dask cluster a batch runs on, and who may talk to it.

A Dask client can run any code on the workers, so whoever reaches the
scheduler is a user of this machine's account. The embedded cluster
therefore listens on 127.0.0.1 only (other local users still reach
loopback) and speaks TLS with mutual authentication, using a key and a
self-signed certificate made for this run and kept in memory: a client
without them is refused during the handshake. Its HTTP pages (worker
addresses, folders, logs, metrics) are off unless asked for with
`dashboard=True`, and then they listen on 127.0.0.1 too, as plain HTTP.

A cluster started elsewhere (`--scheduler`) is the operator's; the batch
presents the TLS credentials it is given, or Dask's own configuration.
"""

from __future__ import annotations

import logging
import os
import shutil
from typing import Any

from ..runner import ChildStopped, run

__all__ = ["ClusterSecurityError", "remote_security", "start_private_cluster", "temporary_security",
           "unencrypted_note"]

_KEY_END = "-----END PRIVATE KEY-----\n"
_HEALTH_ONLY = ["distributed.http.health"]


class ClusterSecurityError(ValueError):
    """The TLS credentials cannot be made or read."""


def _temporary_credentials() -> tuple[str, str]:
    """A fresh P-256 key and a self-signed certificate for it as PEM text,
    made by `openssl` straight to a pipe, never on disk. Valid for a year:
    a long batch must not see its workers' connections refused part-way."""
    if shutil.which("openssl") is None:
        raise ClusterSecurityError("the embedded cluster needs openssl for its TLS key; "
                                   "install it (Debian: apt-get install openssl)")
    command = ["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
               "-nodes", "-days", "365", "-subj", "/CN=vantor-batch", "-keyout", "/dev/stdout", "-out", "/dev/stdout"]
    try:
        done = run(command, text=True, time_limit=30)  # the key comes back on a pipe, never on disk
    except ChildStopped as stopped:
        raise ClusterSecurityError(f"openssl could not make the cluster's TLS key: {stopped}") from None
    pem = done.stdout
    if done.returncode != 0 or _KEY_END not in pem or "BEGIN CERTIFICATE" not in pem:
        detail = " ".join(done.stderr.split())[:200]
        raise ClusterSecurityError(f"openssl could not make the cluster's TLS key: {detail or 'no output'}")
    split = pem.index(_KEY_END) + len(_KEY_END)
    return pem[:split], pem[split:]


def temporary_security() -> Any:
    """A `distributed.Security` that requires TLS for every connection, with
    one in-memory key and certificate for all roles: the client, the
    scheduler and the workers trust that certificate and nothing else."""
    from distributed.security import Security

    key, cert = _temporary_credentials()
    return Security(require_encryption=True, tls_ca_file=cert,
                    tls_client_cert=cert, tls_client_key=key,
                    tls_scheduler_cert=cert, tls_scheduler_key=key,
                    tls_worker_cert=cert, tls_worker_key=key)


def remote_security(ca_file: str | None, cert: str | None, key: str | None) -> Any:
    """The client's credentials for a running scheduler: the three files
    given, or None (then Dask's configuration decides). A CA without a
    certificate, or the reverse, cannot authenticate and is refused."""
    if ca_file is None and cert is None and key is None:
        return None
    if ca_file is None or cert is None:
        raise ClusterSecurityError("TLS to a scheduler needs both --tls-ca-file and --tls-cert "
                                   "(and --tls-key unless the key is in the certificate file)")
    for path in (ca_file, cert, key):
        if path is not None and not os.access(path, os.R_OK):
            raise ClusterSecurityError(f"{path}: cannot read the TLS file")
    from distributed.security import Security

    return Security(require_encryption=True, tls_ca_file=ca_file, tls_client_cert=cert, tls_client_key=key)


def scheduler_address(address: str, security: Any) -> str:
    """`address` with tls:// in front when credentials are given and it
    names no protocol; a tcp:// address with credentials is a mistake."""
    if security is None or not security.require_encryption:
        return address
    if "://" not in address:
        return "tls://" + address
    if not address.startswith("tls://"):
        raise ClusterSecurityError(f"{address}: TLS credentials were given, so the scheduler's address "
                                   "must start with tls://")
    return address


def unencrypted_note(address: str, security: Any) -> str | None:
    """A warning for a scheduler reached without TLS: it runs whatever any
    client that reaches it sends."""
    if address.startswith("tls://") or (security is not None and security.require_encryption):
        return None
    return (f"note: {address} is not encrypted: anyone who can reach it can run code on its workers "
            "(use a tls:// scheduler and --tls-ca-file/--tls-cert/--tls-key)")


def start_private_cluster(workers: int, *, dashboard: bool = False) -> tuple[Any, Any]:
    """A LocalCluster of `workers` single-threaded processes on 127.0.0.1
    with TLS, and a Client holding its credentials. The configuration is
    read while the cluster starts: the workers are handed a copy."""
    import dask
    from distributed import Client, LocalCluster

    security = temporary_security()
    pages = {} if dashboard else {"distributed.scheduler.http.routes": _HEALTH_ONLY,
                                  "distributed.worker.http.routes": _HEALTH_ONLY}
    with dask.config.set(pages):
        cluster = LocalCluster(
            n_workers=workers,
            threads_per_worker=1,
            processes=True,
            host="127.0.0.1",
            protocol="tls://",
            security=security,
            # any free port, on loopback: several batches may run side by side
            dashboard_address="127.0.0.1:0",
            worker_dashboard_address="127.0.0.1:0" if dashboard else None,
            silence_logs=logging.ERROR,
            preload=["vantor.batch.worker_signals"],  # Ctrl-C is the driver's to handle
        )
    try:
        return Client(cluster, security=security), cluster
    except BaseException:
        cluster.close()
        raise
