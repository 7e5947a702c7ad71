"""The examples run and find the same values before and after reduction."""

import os
import pathlib
import subprocess
import sys

import pytest
from exec_support import import_or_skip

EXAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples"


def run_example(name, *args):
    # The interpreter and path the tests run with, so the example imports the
    # same dagloom_core and dagloom_exec.
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    done = subprocess.run([sys.executable, str(EXAMPLES / name), *args], env=env,
                          capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, done.stdout + done.stderr
    return done.stdout


def test_road_of_one_request_prints_equal_values(tmp_path):
    out = run_example("road_of_one_request.py", "--out", str(tmp_path))
    assert "recorded graph, output 6: [155.0]" in out
    assert "reduced graph, maximal fusion, output 3: [155.0]" in out
    assert "equal before and after reduction: True" in out
    maximal = out.split("== where the recorded values live, maximal fusion")[1]
    assert "recorded mul+0   (id 5) -> node 2 (stage), member 1\n" in maximal
    assert "recorded neg(x)  (id 7) -> not needed\n" in maximal


def test_run_on_dask_prints_tasks_times_and_equal_values():
    import_or_skip("distributed")
    import_or_skip("numpy")
    out = run_example("run_on_dask.py", "--records", "400", "--length", "16")
    lines = [line for line in out.splitlines() if "tasks" in line]
    assert len(lines) == 3 and all(line.endswith("same values: True") for line in lines), out
    tasks = [int(line.split()[-6]) for line in lines]
    assert tasks[0] > tasks[1] >= tasks[2], out


def test_dask_optimize_prints_fewer_tasks_and_equal_values():
    import_or_skip("dask")
    import_or_skip("numpy")
    out = run_example("dask_optimize.py", "--n", "40", "--chunk", "10")
    tasks = [int(line.split()[-7]) for line in out.splitlines() if "tasks" in line]
    assert len(tasks) == 2 and tasks[1] < tasks[0], out
    assert "same values: True" in out, out
