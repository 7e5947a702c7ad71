"""A pytest plugin that makes optimize_dask Dask's optimizer for dask.array
and dask.delayed, for a run of Dask's own test suite:

    python3 -m pytest -p dagloom_dask_plugin .../dask/array/tests/test_ufunc.py
"""

import dask

from dagloom_exec import optimize_dask


def pytest_configure(config):
    dask.config.set(array_optimize=optimize_dask, delayed_optimize=optimize_dask)


def pytest_report_header(config):
    return "dagloom: optimize_dask is array_optimize and delayed_optimize"
