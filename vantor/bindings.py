"""Per-run bindings for the engine.

The engine looks every name it uses up at each use: first in the per-run
bindings of the calling context, then in its module namespace, then in
builtins. `engine_run` sets the per-run bindings for the block, so a run
never rebinds a name on `vantor.vantor` and two runs in two threads (or
tasks) each see their own. A thread started inside a run sees the run's
bindings only when handed its context (`contextvars.copy_context()`).
"""

from __future__ import annotations

import contextlib
from collections.abc import Iterator
from contextvars import ContextVar
from types import MappingProxyType
from typing import Any

__all__ = ["current_bindings", "engine_run"]

_variable: ContextVar[Any] | None = None


def _bindings_variable() -> ContextVar[Any]:
    # The engine makes the variable when it is loaded; taken once, so a host
    # rebinding the module's name cannot redirect the runs.
    global _variable
    if _variable is None:
        from vantor import vantor as engine

        _variable = vars(engine)["__run_bindings__"]
    return _variable


def current_bindings() -> MappingProxyType[str, Any]:
    """The names bound for the calling context (empty outside any run)."""
    return _bindings_variable().get() or MappingProxyType({})


@contextlib.contextmanager
def engine_run(**bindings: Any) -> Iterator[None]:
    """`with engine_run(requests=router, print=sink): vantor.vantor.run_recap(...)`

    Binds the names for the engine calls made inside the block, over any
    bindings of an enclosing block; restores the enclosing ones on exit,
    whatever ends the block (an error, Ctrl-C)."""
    variable = _bindings_variable()
    token = variable.set(MappingProxyType({**current_bindings(), **bindings}))
    try:
        yield
    finally:
        variable.reset(token)
