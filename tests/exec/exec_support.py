"""What the executor's tests share besides fixtures."""

import importlib
import pathlib
import sys

import pytest

HERE = pathlib.Path(__file__).resolve().parent


def import_or_skip(module):
    """The module, or a skip with the reason it cannot be used here: Debian's
    dask and numpy are built for its own python3, not for every interpreter
    that runs these tests (3.13t among them)."""
    try:
        return importlib.import_module(module)
    except Exception as exc:  # noqa: BLE001 - any failure to import means: not here
        pytest.skip(f"{module} is not usable under {sys.version.split()[0]}: "
                    f"{type(exc).__name__}: {exc}")
