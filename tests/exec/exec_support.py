"""What the executor's tests share besides fixtures."""

import pathlib

from optional_imports import import_or_skip

HERE = pathlib.Path(__file__).resolve().parent

__all__ = ["HERE", "import_or_skip"]
