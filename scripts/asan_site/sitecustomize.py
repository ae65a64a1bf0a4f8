"""Start-up hook for every Python process of `make test-asan` (this directory
is on PYTHONPATH there).

The sanitizer runtimes are preloaded so that the instrumented extension can
be imported; they must reach Python processes only. Any other program started
through subprocess (wget, ffmpeg, a shell) gets an environment without
LD_PRELOAD: Debian's wget hangs with the ASan runtime preloaded, and the
reports would be about programs that are not ours. Python children (an
interpreter, or a script whose "#!" line names one) keep it, and load this
hook in turn.
"""

import os
import re
import shutil
import subprocess

_PYTHON_NAME = re.compile(r"python(\d+(\.\d+)?)?$")
_popen_init = subprocess.Popen.__init__


def _program(args, kwargs):
    if kwargs.get("shell"):
        return None  # a shell runs whatever it is told
    program = kwargs.get("executable")
    if program is None:
        program = args if isinstance(args, (str, bytes, os.PathLike)) else next(iter(args), None)
    return None if program is None else os.fsdecode(program)


def _is_python(program):
    if program is None:
        return False
    if _PYTHON_NAME.match(os.path.basename(program)):
        return True
    # Console scripts (dask, vantor) are Python behind a "#!...python" line.
    path = program if os.sep in program else shutil.which(program)
    try:
        with open(path or "", "rb") as f:
            first = f.readline(256)
    except OSError:
        return False
    return first.startswith(b"#!") and b"python" in first


def _popen_without_preload(self, args, *rest, **kwargs):
    if len(rest) < 10 and not _is_python(_program(args, kwargs)):  # env not given by position
        env = kwargs.get("env")
        source = os.environ if env is None else env
        if "LD_PRELOAD" in source:
            kwargs["env"] = {k: v for k, v in source.items() if k != "LD_PRELOAD"}
    _popen_init(self, args, *rest, **kwargs)


if os.environ.get("LD_PRELOAD"):
    subprocess.Popen.__init__ = _popen_without_preload
