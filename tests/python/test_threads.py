"""Several threads on one object. On free-threaded builds these run truly in
parallel; with a GIL they still interleave between calls."""
import random
import sys
import threading

import pytest

import dagloom_core as dc

THREADS = 6


def run_threads(target, n=THREADS):
    barrier = threading.Barrier(n)
    errors = []

    def wrapped(i):
        barrier.wait()
        try:
            target(i)
        except BaseException as e:  # noqa: BLE001 - reported by the main thread
            errors.append(e)

    threads = [threading.Thread(target=wrapped, args=(i,)) for i in range(n)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors, errors


def test_concurrent_interning_agrees_on_ids():
    g = dc.GraphStore()
    base = [g.add_source(f"s{i}") for i in range(8)]
    keys = [(f"op{i % 50}", (base[i % 8], base[(i * 3) % 8]), {"k": i % 7}) for i in range(300)]
    seen = [None] * THREADS

    def work(t):
        order = list(range(len(keys)))
        random.Random(t).shuffle(order)
        ids = {}
        for i in order:
            name, inputs, params = keys[i]
            ids[i] = g.add_op(name, list(inputs), params)
        seen[t] = ids

    run_threads(work)
    assert all(ids == seen[0] for ids in seen)
    distinct = {(name, inputs, params["k"]) for name, inputs, params in keys}
    assert g.node_count() == 8 + len(distinct) == 8 + len(set(seen[0].values()))
    for i, (name, inputs, params) in enumerate(keys):
        node = g.nodes()[seen[0][i]]
        assert (node["name"], tuple(node["inputs"]), node["params"]) == (name, inputs, params)


def test_stepping_while_another_thread_grows_the_store():
    g, r = dc.GraphStore(), dc.IncrementalReducer()
    g.add_source("x")
    total = 2000
    stepped = [0] * THREADS
    done = threading.Event()

    def work(t):
        if t == 0:
            for i in range(total):
                g.add_op("add", [i, i // 2])
            done.set()
            return
        while not done.is_set():
            stepped[t] += r.step(g)
            assert r.watermark() <= g.node_count()
        stepped[t] += r.step(g)

    run_threads(work)
    assert sum(stepped) == g.node_count() == total + 1
    assert r.watermark() == r.total_work() == total + 1
    assert r.finalize(g, outputs=[total])[1]["input_nodes"] == r.canonical_count()


def _long_call_store():
    g = dc.GraphStore()
    prev = g.add_source("x")
    for i in range(20000):
        prev = g.add_op("add", [prev, prev // 2], {"scalar": i * 0.5} if i % 3 else None)
    g.add_reduction("sum", [prev])
    return g


@pytest.mark.parametrize("call", ["serialize", "deserialize", "reduce", "reduction_report", "step", "finalize"])
def test_long_calls_let_other_threads_run(call):
    # With a switch interval far longer than the test, a thread waiting for
    # the interpreter can only run while this one lets it go: inside the call.
    g = _long_call_store()
    blob = g.serialize()
    run = {
        "serialize": g.serialize,
        "deserialize": lambda: dc.GraphStore.deserialize(blob),
        "reduce": lambda: g.reduce(outputs=[g.node_count() - 1]),
        "reduction_report": g.reduction_report,
        "step": lambda: dc.IncrementalReducer().step(g),
        "finalize": lambda: dc.IncrementalReducer().finalize(g),
    }[call]
    go = threading.Event()
    ran = []
    other = threading.Thread(target=lambda: (go.wait(), ran.append(True)))
    old = sys.getswitchinterval()
    sys.setswitchinterval(1000.0)
    try:
        other.start()
        go.set()
        seen = False
        for _ in range(200):
            run()
            seen = bool(ran)
            if seen:
                break
    finally:
        sys.setswitchinterval(old)
        go.set()
        other.join()
    assert seen, f"no other thread ran during {call}()"
