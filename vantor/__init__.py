"""vantor: narrated vertical recaps of long videos.

The engine is the native module ``vantor.vantor``; ``vantor.run_recap`` is
its ``run_recap``, looked up there at each access so a host's rebinding in
``vantor.vantor`` is seen here too. ``vantor.make_recap`` runs the same
engine after the command line's checks, takes paths or in-memory segments
and returns a ``RecapResult``; it is safe in threads. ``vantor.engine_run``
binds names for the engine calls of one run (a context of its own) without
touching the module. ``vantor.transcript`` and ``vantor.suggest`` give a
video's words with their times, and draft ranges of whole sentences from
them. The service hosts the module was built with are in
``vantor._service_settings``.
"""

from typing import TYPE_CHECKING

__version__ = "0.1.0"
__all__ = ["PreflightError", "RecapResult", "TranscriptUnavailable", "engine_run", "local_services", "make_recap",
           "run_recap", "suggest", "transcript", "__version__"]

if TYPE_CHECKING:  # type checkers see the names; nothing is imported at run time
    from .recap.api import make_recap as make_recap
    from .errors import PreflightError as PreflightError
    from .bindings import engine_run as engine_run
    from .recap.engine.checked_run import RecapResult as RecapResult
    from .services import local_services as local_services
    from .vantor import run_recap as run_recap
    from .transcripts.api import suggest as suggest
    from .transcripts.api import transcript as transcript
    from .transcripts.source import TranscriptUnavailable as TranscriptUnavailable

# Each public name, from where it lives; imported at first use, so that
# `import vantor.services` does not load the recap stack, nor `import vantor`
# the engine and its HTTP client.
_LAZY = {
    "make_recap": ("recap.api", "make_recap"),
    "PreflightError": ("errors", "PreflightError"),
    "RecapResult": ("recap.checked_run", "RecapResult"),
    "engine_run": ("bindings", "engine_run"),
    "local_services": ("services", "local_services"),
    "transcript": ("transcripts.api", "transcript"),
    "suggest": ("transcripts.api", "suggest"),
    "TranscriptUnavailable": ("transcripts.source", "TranscriptUnavailable"),
}


def __getattr__(name: str) -> object:
    import importlib

    if name == "run_recap":  # looked up at each access, so a host's rebinding is seen here too
        from . import vantor as engine

        return engine.run_recap
    if name in _LAZY:
        module, attribute = _LAZY[name]
        value = getattr(importlib.import_module(f".{module}", __name__), attribute)
        globals()[name] = value
        return value
    raise AttributeError(f"module 'vantor' has no attribute {name!r}")


def __dir__() -> list[str]:
    return sorted(set(globals()) | set(__all__))
