"""Every form of a graph gives the values the recorded graph gives."""

import os
import sys

import dagloom_core as dc
import numeric_graphs as ng
import pytest
from exec_support import HERE, import_or_skip
from dagloom_exec import compute, evaluate
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st


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
    # Worker processes start by re-running the parent's main script from its
    # path; without one (a script read from stdin) they die at once and the
    # cluster restarts them for ever.
    main = getattr(sys.modules["__main__"], "__file__", None)
    if main is not None and not os.path.exists(main):
        pytest.fail(f"worker processes cannot start: the main script {main!r} is not a file")
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


SEEDS = st.integers(min_value=0, max_value=2**32 - 1)
SIZES = st.integers(min_value=1, max_value=60)


def incremental(seed, size):
    """The same graph recorded again, the reducer stepping after every record."""
    r = dc.IncrementalReducer()
    g, outputs = ng.record(seed, size, after_each=r.step)
    return r.finalize(g, outputs=outputs)[0]


def forms(g, outputs, seed, size):
    """(name, store): every store the module makes of `g` for `outputs`.
    All but the recorded one mark the outputs themselves."""
    reduced, _ = g.reduce(outputs=outputs)
    fused, _ = g.reduce(maximal_fusion=True, outputs=outputs)
    yield "reduced", reduced
    yield "reduced, maximal fusion", fused
    yield "re-reduced", reduced.reduce()[0]
    yield "re-reduced, maximal fusion", reduced.reduce(maximal_fusion=True)[0]
    yield "deserialized reduced", dc.GraphStore.deserialize(fused.serialize())
    yield "incremental", incremental(seed, size)


def assert_outputs_agree(asked, asked_values, got_values, equal, what):
    """A reduced store marks each requested output once per class, in
    first-request order: its values are the asked-for values with the later
    of any two equal nodes left out. Checks exactly that."""
    kept = []
    j = 0
    for node_id, value in zip(asked, asked_values):
        if j < len(got_values) and equal(value, got_values[j]):
            kept.append(value)
            j += 1
        else:
            assert any(equal(value, k) for k in kept), \
                f"{what}: output {node_id} has no counterpart (value {value!r})"
    assert j == len(got_values), f"{what}: {len(got_values) - j} extra outputs"


@settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(seed=SEEDS, size=SIZES)
def test_every_form_evaluates_to_the_recorded_values(domain, seed, size):
    make_impl, equal = ng.DOMAINS[domain]
    impl = make_impl(seed)
    g, outputs = ng.record(seed, size)
    want = evaluate(g, impl, outputs)
    assert len(want) == len(outputs)
    same = evaluate(dc.GraphStore.deserialize(g.serialize()), impl, outputs)
    assert all(equal(a, b) for a, b in zip(want, same))
    for name, store in forms(g, outputs, seed, size):
        assert_outputs_agree(outputs, want, evaluate(store, impl), equal, name)


@settings(max_examples=10, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(seed=SEEDS, size=SIZES)
def test_dask_threads_and_sync_give_the_local_values(domain, seed, size):
    import_or_skip("dask")
    make_impl, equal = ng.DOMAINS[domain]
    impl = make_impl(seed)
    g, outputs = ng.record(seed, size)
    want = evaluate(g, impl, outputs)
    reduced, _ = g.reduce(maximal_fusion=bool(seed & 1), outputs=outputs)
    for scheduler in ("threads", "sync"):
        got = compute(g, impl, outputs, scheduler=scheduler)
        assert all(equal(a, b) for a, b in zip(want, got, strict=True))
        assert_outputs_agree(outputs, want, compute(reduced, impl, scheduler=scheduler),
                             equal, f"reduced on {scheduler}")


@pytest.mark.parametrize("seed", [3, 17, 2024])
def test_distributed_cluster_gives_the_local_values(local_cluster, seed):
    make_impl, equal = ng.DOMAINS["numpy"]
    impl = make_impl(seed)
    g, outputs = ng.record(seed, 200)
    want = evaluate(g, impl, outputs)
    got = compute(g, impl, outputs, scheduler=local_cluster)
    assert all(equal(a, b) for a, b in zip(want, got, strict=True))
    for name, store in forms(g, outputs, seed, 200):
        assert_outputs_agree(outputs, want, compute(store, impl, scheduler=local_cluster),
                             equal, f"{name} on the cluster")


def test_distributed_cluster_passes_user_errors_back_with_their_note(local_cluster):
    g = dc.GraphStore()
    x = g.add_source("s0")
    out = g.add_op("neg", [g.add_op("sub", [x, x])])
    impl = ng.np_impl(1)
    impl = type(impl)(ops={**impl.ops, "sub": ng.refuse}, sources=impl.sources)
    fused, _ = g.reduce(maximal_fusion=True, outputs=[out])
    with pytest.raises(ZeroDivisionError) as info:
        compute(fused, impl, scheduler=local_cluster)
    assert str(info.value) == "refused by the user's function"
    assert info.value.__notes__ == [
        "dagloom_exec: raised while computing member 0 (op 'sub') of node 1 (stage)"]


def test_processes_scheduler_runs_the_tasks_in_other_processes():
    import_or_skip("dask")
    impl = ng.int_impl(5)
    g, outputs = ng.record(5, 40)
    reduced, _ = g.reduce(outputs=outputs)
    assert_outputs_agree(outputs, evaluate(g, impl, outputs),
                         compute(reduced, impl, scheduler="processes"), ng.int_equal, "processes")
