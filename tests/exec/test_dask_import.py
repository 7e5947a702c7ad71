"""Dask graphs read into stores and run through optimize_dask give Dask's own
values, dtypes and shapes on every scheduler, and keep Dask's keys."""

import operator

import pytest
from exec_support import import_or_skip

np = import_or_skip("numpy")
dask = import_or_skip("dask")
da = import_or_skip("dask.array")

import dask_programs as dp  # noqa: E402
from hypothesis import HealthCheck, given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402
from test_forms import local_cluster  # noqa: E402,F401 - the session's cluster

from dagloom_exec import evaluate, from_dask, optimize_dask  # noqa: E402

OURS = {"array_optimize": optimize_dask, "delayed_optimize": optimize_dask}


def same(want, got):
    """Dask's value and ours: equal (NaN equal to NaN), same dtype and shape."""
    if isinstance(want, (list, tuple)):
        return type(want) is type(got) and len(want) == len(got) and all(
            same(w, g) for w, g in zip(want, got))
    if isinstance(want, (np.ndarray, np.generic)):
        if want.dtype != got.dtype or np.shape(want) != np.shape(got):
            return False
        if want.dtype == object:
            return bool(np.all(want == got))
        return bool(np.array_equal(want, got, equal_nan=True))
    return type(want) is type(got) and want == got


def task_count(collections, config):
    with dask.config.set(config):
        return len(dask.base.collections_to_dsk(collections))


@pytest.fixture(params=["sync", "threads", "processes", "cluster"])
def scheduler(request):
    if request.param == "cluster":
        return request.getfixturevalue("local_cluster")
    return request.param


@pytest.mark.parametrize("name", sorted(dp.ARRAY_PROGRAMS))
def test_array_programs_agree_with_dask_on_every_scheduler(name, scheduler):
    kind, build = dp.ARRAY_PROGRAMS[name]
    collections = build(dp.inputs(12, 5))
    want = dask.compute(*collections, scheduler="sync")
    with dask.config.set(OURS):
        got = dask.compute(*collections, scheduler=scheduler)
    assert same(list(want), list(got))
    ours, theirs = task_count(collections, OURS), task_count(collections, {})
    assert ours <= 1.1 * theirs
    if kind == "redundant":
        assert ours < theirs


def test_a_merged_value_is_computed_in_no_more_tasks_than_dask_computed_it():
    a = dp.inputs(12, 4)
    once = a["x"] + a["y"]          # one Dask layer, read by two reductions
    twice = [once.mean(axis=0), once.std(axis=1)]
    merged = [(a["x"] + a["y"]).mean(axis=0), (a["y"] + a["x"]).std(axis=1)]
    for collections, extra in ((twice, a["x"].npartitions), (merged, 0)):
        ours = task_count(collections, OURS)
        # x + y is a task per chunk when Dask computed it once per chunk, and
        # inside each reader when Dask computed it twice.
        assert ours == task_count(merged, OURS) + extra
        want = dask.compute(*collections, scheduler="sync")
        with dask.config.set(OURS):
            assert same(list(want), list(dask.compute(*collections, scheduler="threads")))


def test_large_literals_stay_values_of_the_graph():
    x = da.from_array(np.arange(2 * 400 * 400.0).reshape(800, 400), chunks=400)
    z = (x + 1.0) * (1.0 + x)
    graph = optimize_dask(z.__dask_graph__(), z.__dask_keys__())
    assert sum(isinstance(v, np.ndarray) for v in graph.values()) == 2
    want = z.compute(scheduler="sync")
    with dask.config.set(OURS):
        assert same(want, z.compute(scheduler="threads"))


def test_requested_keys_keep_their_names_and_the_rest_is_reduced():
    a = dp.inputs(8, 4)
    z = (a["x"] + a["y"]) * (a["y"] + a["x"])
    keys = z.__dask_keys__()
    graph = optimize_dask(z.__dask_graph__(), keys)
    flat = [k for row in keys for k in row]
    assert set(flat) <= set(graph)
    # One task per chunk: both sums are one, and the data joins its readers.
    assert len(graph) == len(flat)
    assert same(dask.get(graph, flat), dask.get(dict(z.__dask_graph__()), flat))


def test_what_dask_hands_back_is_never_an_input_or_another_output():
    base = np.arange(16.0).reshape(4, 4)
    x = da.from_array(base, chunks=4)
    with dask.config.set(OURS):
        one, ident, commuted = dask.compute(x * 1.0, x + 0.0, 0.0 + x, scheduler="sync")
    assert not any(np.shares_memory(v, w) for v, w in
                   [(one, base), (ident, base), (commuted, base), (ident, commuted)])


def test_parallel_work_stays_in_separate_tasks():
    """A reduction tree and a fan-in of heavy inputs do not fold into one task."""
    a = dp.inputs(12, 4)
    total = dp.ARRAY_PROGRAMS["commuted-sum"][1](a)[0]
    graph = optimize_dask(total.__dask_graph__(), total.__dask_keys__())
    assert len(graph) > a["x"].npartitions      # one task per chunk, then the tree
    parts = [dask.delayed(np.arange)(100 + i) for i in range(4)]
    fan_in = dask.delayed(sum)([dask.delayed(np.sum)(p) for p in parts])
    graph = optimize_dask(fan_in.__dask_graph__(), [fan_in.key])
    assert len(graph) == 5 and dask.get(graph, fan_in.key) == fan_in.compute(scheduler="sync")


def test_as_an_entry_of_dasks_optimizations_list():
    a = dp.inputs(10, 4)
    collections = dp.ARRAY_PROGRAMS["commuted-sum"][1](a) + dp.ARRAY_PROGRAMS["strings"][1](a)
    want = dask.compute(*collections, scheduler="sync")
    with dask.config.set(optimizations=[optimize_dask]):
        got = dask.compute(*collections, scheduler="threads")
    assert same(list(want), list(got))


@pytest.mark.parametrize("name", ["pure-repeated", "impure-draws", "mutated-inputs",
                                  "kwargs-dicts-tuples"])
def test_delayed_programs(name, scheduler):
    want = dask.compute(*dp.delayed_programs()[name], scheduler="sync")
    with dask.config.set(OURS):
        got = dask.compute(*dp.delayed_programs()[name], scheduler=scheduler)
    if name == "impure-draws":
        # Each draw is its own task: three different values, not one.
        assert len(set(got)) == 3
    else:
        assert same(list(want), list(got))


@pytest.mark.parametrize("name", sorted(dp.raw_graphs()))
def test_raw_graphs_evaluate_and_optimize_to_what_dask_get_gives(name):
    dsk, keys = dp.raw_graphs()[name]
    flat = list(dask.core.flatten(keys))
    want = dask.get(dsk, flat)
    store, impl, ids = from_dask(dsk, keys)
    assert same(list(want), evaluate(store, impl, ids))
    assert same(want, dask.get(optimize_dask(dsk, keys), flat))


def test_literal_objects_are_told_apart_by_identity_not_by_value():
    dsk, keys = dp.raw_graphs()["literal-objects"]
    store, impl, ids = from_dask(dsk, keys)
    sources = [n for n in store.nodes() if n["kind"] == "source"]
    assert len(sources) == 2        # the array and its copy: equal values, two objects
    # m and n commute only where the chunks are declared numeric arrays.
    assert ids[2] != ids[3]
    meta = np.empty(0)
    store, _, ids = from_dask(dsk, keys, metas={("arr", 0): meta, ("arr", 1): meta})
    reduced, _ = store.reduce(outputs=ids)
    assert len(set(reduced.outputs())) == len(ids) - 1


def test_the_rules_apply_only_where_they_are_exact():
    a = dp.inputs(6, 3)
    cases = {   # expression -> whether the rule may drop or merge it
        "x + 0.0": (a["x"] + 0.0, a["x"], True),
        "xf * 1.0": (a["xf"] * 1.0, a["xf"], True),
        "xi + 0.0": (a["xi"] + 0.0, a["xi"], False),        # int + 0.0 is float64
        "x.sum() + 0.0": (a["xf"].sum() + 0.0, a["xf"].sum(), False),   # 0-d float32
        "s + t": (a["s"] + a["t"], a["t"] + a["s"], False),  # strings do not commute
        "max float": (da.maximum(a["x"], a["y"]), da.maximum(a["y"], a["x"]), False),
        "max int": (da.maximum(a["xi"], a["yi"]), da.maximum(a["yi"], a["xi"]), True),
        "x + y": (a["x"] + a["y"], a["y"] + a["x"], True),
    }
    for label, (left, right, merges) in cases.items():
        graph = dask.highlevelgraph.HighLevelGraph.merge(left.dask, right.dask)
        keys = [left.__dask_keys__(), right.__dask_keys__()]
        store, _, ids = from_dask(graph, keys)
        reduced, _ = store.reduce(outputs=ids)
        half = len(ids) // 2
        distinct = len(set(reduced.outputs()))
        assert (distinct == half) == merges, label


# Random elementwise expression trees over arrays of three dtypes.
LEAVES = ["x", "y", "xi", "yi", "xf"]
UNARY = [lambda e: e + 0.0, lambda e: 0.0 + e, lambda e: e * 1.0, lambda e: 1.0 * e,
         lambda e: -e, lambda e: e.T, lambda e: e.sum(axis=0) + e[0]]
BINARY = [operator.add, operator.mul, operator.sub, da.maximum, da.minimum,
          lambda p, q: da.where(p > q, p, q), lambda p, q: (p == q) * 1.0]


def trees():
    leaf = st.sampled_from(LEAVES).map(lambda name: ("leaf", name))
    return st.recursive(leaf, lambda sub: st.one_of(
        st.tuples(st.just("un"), st.integers(0, len(UNARY) - 1), sub),
        st.tuples(st.just("bin"), st.integers(0, len(BINARY) - 1), sub, sub)), max_leaves=8)


def build(tree, a):
    if tree[0] == "leaf":
        return a[tree[1]]
    if tree[0] == "un":
        return UNARY[tree[1]](build(tree[2], a))
    return BINARY[tree[1]](build(tree[2], a), build(tree[3], a))


@settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.lists(trees(), min_size=1, max_size=3))
def test_random_expression_trees_agree_with_dask(forest):
    a = dp.inputs(6, 4, seed=3)
    with np.errstate(all="ignore"):
        collections = [build(tree, a) for tree in forest]
        want = dask.compute(*collections, scheduler="sync")
        with dask.config.set(OURS):
            got = dask.compute(*collections, scheduler="sync")
    assert same(list(want), list(got))
