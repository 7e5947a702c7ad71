"""Optional packages (numpy, dask, distributed), imported only where they work.

Whether a package can be imported is decided once per test session, in a
child interpreter with this one's path: a package whose compiled part was
built for another interpreter can crash the process that loads it, and that
must cost a skip, not the test run.
"""

import functools
import importlib
import os
import signal
import subprocess
import sys
from types import ModuleType

import pytest


@functools.cache
def unusable(module: str) -> str | None:
    """None when `module` imports cleanly in a child interpreter, else why not."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    env.pop("PYTHON_GIL", None)
    child = subprocess.run([sys.executable, "-c", f"import {module}"], env=env,
                           capture_output=True, text=True)
    if child.returncode == 0:
        return None
    if child.returncode < 0:
        return f"importing it killed a child interpreter ({signal.Signals(-child.returncode).name})"
    lines = child.stderr.strip().splitlines()
    return lines[-1] if lines else f"importing it exited with status {child.returncode}"


def import_or_skip(module: str) -> ModuleType:
    """The module, or a skip with the reason it cannot be used here: Debian's
    numpy and distributed are built for its own python3, not for every
    interpreter that runs these tests (3.13t among them)."""
    reason = unusable(module)
    if reason is None:
        try:
            return importlib.import_module(module)
        except Exception as exc:  # noqa: BLE001 - any failure to import means: not here
            reason = f"{type(exc).__name__}: {exc}"
    # Called at a module's top, it skips the whole module; in a test, that test.
    pytest.skip(f"{module} is not usable under {sys.version.split()[0]}: {reason}",
                allow_module_level=True)
