"""Per-run bindings: the engine resolves a name in the calling context's
bindings first, then in its module, then in builtins; `vantor.engine_run`
sets them for a block, nests, restores on any exit, and stays in its own
thread unless the context is handed over."""

from __future__ import annotations

import contextvars
import threading

import pytest

import vantor
from vantor.bindings import current_bindings


class Asked(Exception):
    """Raised by a stand-in `requests`, naming which one the engine used."""


def requests_named(name):
    def get(url, **kwargs):
        raise Asked(name, url)

    return type("Requests", (), {"get": staticmethod(get), "post": staticmethod(get)})()


def asked_by(engine, out):
    """Which `requests` the engine's download client reaches for."""
    with pytest.raises(Asked) as asked:
        engine._download_video("https://youtu.be/x", str(out))
    return asked.value.args[0]


def test_lookup_order_run_binding_then_module_then_builtins(engine, tmp_path, capsys):
    engine.requests = requests_named("module")  # a host's own rebinding: the contract for direct hosts
    assert asked_by(engine, tmp_path / "v.mp4") == "module"
    with vantor.engine_run(requests=requests_named("run")):
        assert asked_by(engine, tmp_path / "v.mp4") == "run"
        with vantor.engine_run(print=lambda *a, **k: None):  # nested: the outer binding still holds
            assert asked_by(engine, tmp_path / "v.mp4") == "run"
        with vantor.engine_run(requests=requests_named("inner")):
            assert asked_by(engine, tmp_path / "v.mp4") == "inner"
        assert asked_by(engine, tmp_path / "v.mp4") == "run"
    assert asked_by(engine, tmp_path / "v.mp4") == "module"
    assert "Requesting download" in capsys.readouterr().out  # `print`: builtins, as no layer binds it
    lines = []
    with vantor.engine_run(requests=requests_named("run"), print=lambda *a, **k: lines.append(a)):
        asked_by(engine, tmp_path / "v.mp4")
    assert lines and "Requesting download" in lines[0][0] and capsys.readouterr().out == ""


def test_a_binding_is_undone_on_error_and_on_ctrl_c(engine):
    before = dict(vars(engine))
    for raised in (ValueError, KeyboardInterrupt):
        with pytest.raises(raised):
            with vantor.engine_run(time=object()):
                raise raised()
        assert dict(current_bindings()) == {}
    assert vars(engine).keys() == before.keys() and all(vars(engine)[k] is v for k, v in before.items())


def test_threads_see_a_run_only_when_handed_its_context(engine, tmp_path):
    seen = {}

    def look(name):
        seen[name] = asked_by(engine, tmp_path / f"{name}.mp4")

    engine.requests = requests_named("module")
    with vantor.engine_run(requests=requests_named("run")):
        plain = threading.Thread(target=look, args=("plain",))
        context = contextvars.copy_context()
        handed = threading.Thread(target=context.run, args=(look, "handed"))
        for thread in (plain, handed):
            thread.start()
            thread.join(30)
    assert seen == {"plain": "module", "handed": "run"}


def test_two_threads_bind_at_once_without_seeing_each_other(engine, tmp_path):
    both_bound = threading.Barrier(2, timeout=30)
    seen = {}

    def run(name):
        with vantor.engine_run(requests=requests_named(name)):
            both_bound.wait()
            seen[name] = asked_by(engine, tmp_path / f"{name}.mp4")
            both_bound.wait()

    threads = [threading.Thread(target=run, args=(name,)) for name in ("a", "b")]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(60)
    assert seen == {"a": "a", "b": "b"}


def test_the_module_keeps_its_documented_namespace(engine, tmp_path):
    names = list(vars(engine))
    # The bindings' variable is a dunder ahead of the facilities and operations.
    assert names.index("__run_bindings__") < names.index("json")
    assert isinstance(engine.__run_bindings__, contextvars.ContextVar)
    # Rebinding the module's name does not redirect the engine's lookups.
    engine.__run_bindings__ = contextvars.ContextVar("other")  # the fixture puts it back
    with vantor.engine_run(requests=requests_named("run")):
        assert asked_by(engine, tmp_path / "v.mp4") == "run"


def test_the_services_load_without_the_recap_stack():
    import os
    import subprocess
    import sys

    script = ("import sys, vantor.services\n"
              "print(sorted(m for m in sys.modules if m.startswith(('vantor.recap', 'vantor.vantor'))))")
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    done = subprocess.run([sys.executable, "-c", script], cwd=root, capture_output=True, text=True, timeout=60)
    assert (done.returncode, done.stdout.strip()) == (0, "[]"), done.stderr


def test_the_runs_clock_skips_only_the_pauses_that_wait_for_nothing():
    from vantor.recap.engine.host import RunCancelled, RunHost
    from vantor.recap.engine.steps import Pause

    class Recorder:
        def __init__(self):
            self.slept = []

        def sleep(self, seconds):
            self.slept.append(seconds)

    local, configured = Recorder(), Recorder()
    hosts = {RunHost(emit=print, local=True): local, RunHost(emit=print, local=False): configured}
    for host, clock in hosts.items():
        with vantor.engine_run(time=clock):  # a clock bound for the engine is the one the run waits on
            for seconds, why in ((3, "poll"), (0.5, "narration"), (0.5, "narration"), (3, "poll"), (0.5, "narration")):
                host.pause(Pause(seconds, why))  # the first poll, narrations, a second poll
    assert local.slept == [3] and configured.slept == [3, 0.5, 0.5, 3, 0.5]
    for host in hosts:
        host.cancel()
        with pytest.raises(RunCancelled):
            host.pause(Pause(0.5, "narration"))
        with pytest.raises(RunCancelled):
            host.pause(Pause(3, "poll"))
