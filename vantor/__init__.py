"""vantor: narrated vertical recaps of long videos.

The engine is the native module ``vantor.vantor``; ``vantor.run_recap`` is
its ``run_recap``, looked up there at each access so a host's rebinding in
``vantor.vantor`` is seen here too. ``vantor.make_recap`` runs the same
engine after the command line's checks, takes paths or in-memory segments
and returns a ``RecapResult``. The service hosts the module was built
with are in ``vantor._service_settings``.
"""

from typing import TYPE_CHECKING

__version__ = "0.1.0"
__all__ = ["PreflightError", "RecapResult", "local_services", "make_recap", "run_recap", "__version__"]

# Pure Python: importing them loads neither the engine nor its HTTP client.
from .api import make_recap as make_recap  # noqa: E402
from .preflight import PreflightError as PreflightError  # noqa: E402
from .recap_run import RecapResult as RecapResult  # noqa: E402

if TYPE_CHECKING:  # type checkers see the engine's signature; nothing is imported at run time
    from .services import local_services as local_services
    from .vantor import run_recap as run_recap


def __getattr__(name: str) -> object:
    # Lazy, so `import vantor` (and the command line's `check`) works without
    # loading the engine and its HTTP client.
    if name == "local_services":
        from .services import local_services

        return local_services
    if name == "run_recap":
        from . import vantor as engine

        return engine.run_recap
    raise AttributeError(f"module 'vantor' has no attribute {name!r}")
