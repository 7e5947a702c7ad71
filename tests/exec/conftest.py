import os

import pytest

from exec_support import HERE, import_or_skip


@pytest.fixture(params=["int", "numpy"])
def domain(request):
    if request.param == "numpy":
        import_or_skip("numpy")
    return request.param


@pytest.fixture(scope="session")
def local_cluster():
    """A distributed.LocalCluster of two worker processes on loopback."""
    distributed = import_or_skip("distributed")
    import_or_skip("numpy")
    old = os.environ.get("PYTHONPATH")
    os.environ["PYTHONPATH"] = os.pathsep.join([str(HERE)] + ([old] if old else []))
    try:
        cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                           host="127.0.0.1", dashboard_address=None)
    finally:
        if old is None:
            del os.environ["PYTHONPATH"]
        else:
            os.environ["PYTHONPATH"] = old
    client = distributed.Client(cluster, set_as_default=False)
    try:
        yield client
    finally:
        client.close()
        cluster.close()
