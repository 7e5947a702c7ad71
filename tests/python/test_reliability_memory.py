"""Running out of memory loses nothing: a short run of tools/memory-pressure.py
(the full sweep is a stage of tools/test.sh) on a smaller store, for the
calls that allocate the most, in a child process whose address space it
limits. Every call either succeeds or raises MemoryError, and leaves every
object as it was and usable."""
import os
import subprocess
import sys

import pytest

TOOL = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "memory-pressure.py")

CASES = ["nodes", "to-dot", "serialize-outputs", "reduce-everything", "grow-many", "step-large-delta",
         "finalize-large-delta", "fresh-reducer-cycle", "deserialize", "add-external-dict"]


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc/self/status")
@pytest.mark.skipif(os.environ.get("DAGLOOM_UNDER_SANITIZER") == "1",
                    reason="a sanitizer runtime reserves terabytes of address space: no limit fits")
def test_calls_under_an_address_space_limit_lose_nothing():
    out = subprocess.run(
        [sys.executable, TOOL, "--nodes", "40000", "--headroom-mib", "1,4,16", "--only", ",".join(CASES)],
        capture_output=True, text=True, env=os.environ, timeout=600)
    assert out.returncode == 0, out.stdout + out.stderr
    lines = out.stdout.splitlines()
    passed, failed = (int(part.split()[0]) for part in lines[-1].split(", "))
    assert (passed >= len(CASES), failed) == (True, 0), out.stdout
    # The limits were tight enough to make some calls fail.
    memory_errors = int(lines[-2].split("; ")[1].split()[0])
    assert memory_errors > 0, out.stdout
