"""An interpreter that is not Debian's own loads nothing compiled from Debian's tree.

Debian's extension modules in /usr/lib/python3 were built for its python3;
the free-threaded interpreter finds some of them by their suffix (abi3) and
crashes inside them. This names the leak instead.
"""

import importlib
import importlib.machinery
import pathlib
import sys

import pytest
from optional_imports import unusable

DEBIAN_TREE = pathlib.Path("/usr/lib/python3")
OPTIONAL = ("numpy", "dask", "dask.array", "distributed", "tornado", "yaml", "msgpack", "psutil")


def foreign_extensions():
    found = []
    for name, module in list(sys.modules.items()):
        file = getattr(module, "__file__", None)
        if not file:
            continue
        path = pathlib.Path(file).resolve()
        compiled = (isinstance(getattr(module, "__loader__", None), importlib.machinery.ExtensionFileLoader)
                    or any(path.name.endswith(s) for s in importlib.machinery.EXTENSION_SUFFIXES))
        if compiled and DEBIAN_TREE in path.parents:
            found.append(f"{name} ({path})")
    return sorted(found)


@pytest.mark.skipif(sys.base_prefix == "/usr", reason="Debian's own interpreter: its tree is built for it")
def test_no_compiled_module_from_debians_tree():
    # Everything the runs import in this process: the test tools, and each
    # optional package that imports cleanly in a child.
    import hypothesis  # noqa: F401
    for name in OPTIONAL:
        if unusable(name) is None:
            importlib.import_module(name)
    found = foreign_extensions()
    assert not found, ("compiled modules built for Debian's python3 were loaded into "
                       f"{sys.executable}: {', '.join(found)}")
