"""Several threads on one object. On free-threaded builds these run truly in
parallel; with a GIL they still interleave between calls."""
import random
import sys
import threading
import time

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
        # Bounded by time, not by a number of calls: a quick call (a
        # report on a store with no outputs) may end before a woken thread
        # is running again.
        seen = False
        deadline = time.monotonic() + 5.0
        while not seen and time.monotonic() < deadline:
            run()
            seen = bool(ran)
    finally:
        sys.setswitchinterval(old)
        go.set()
        other.join()
    assert seen, f"no other thread ran during {call}()"


@pytest.mark.parametrize("reader", ["serialize", "nodes", "to_dot", "reduction_report", "step"])
def test_readers_see_a_prefix_while_writers_add(reader):
    # Two writers add interleaved chains; every read taken meanwhile is the
    # store as it was at some count: the first nodes of the final store.
    g = dc.GraphStore()
    g.add_source("x")
    g.add_source("y")
    per_writer = 3000
    done = threading.Barrier(3)
    reads = []

    def work(t):
        if t < 2:
            prev = t
            for i in range(per_writer):
                prev = g.add_op(f"w{t}", [prev, i % 2], {"i": i})
            done.wait()
            return
        while True:
            if reader == "serialize":
                reads.append(g.serialize())
            elif reader == "nodes":
                reads.append(g.nodes())
            elif reader == "to_dot":
                reads.append(g.to_dot())
            elif reader == "reduction_report":
                reads.append(g.reduction_report(outputs=[0]))
            else:
                r = dc.IncrementalReducer()
                reads.append((r.step(g), r.canonical_count()))
            if done.n_waiting == 2:
                done.wait()
                return

    run_threads(work, n=3)
    final_nodes = g.nodes()
    assert len(final_nodes) == 2 + 2 * per_writer
    for read in reads:
        if reader == "serialize":
            prefix = dc.GraphStore.deserialize(read).nodes()
            assert prefix == final_nodes[: len(prefix)]
        elif reader == "nodes":
            assert read == final_nodes[: len(read)]
        elif reader == "to_dot":
            lines = read.splitlines()
            labels = [line.split()[0] for line in lines if "[label=" in line]
            assert labels == [f"n{i}" for i in range(len(labels))]
            edges = [line.split() for line in lines if "->" in line]
            assert all(int(a[1:]) < int(b[1:].rstrip(";")) < len(labels) for a, _, b in edges)
            assert len(edges) == sum(len(n["inputs"]) for n in final_nodes[: len(labels)])
        elif reader == "reduction_report":
            assert read["input_nodes"] <= len(final_nodes) and read["reduced_nodes"] == 1
        else:
            stepped, canonical = read
            assert canonical == stepped <= len(final_nodes)


def test_half_existing_keys_from_two_writers_get_one_id_each():
    g = dc.GraphStore()
    roots = [g.add_source(f"r{i}") for i in range(4)]
    ids = [{} for _ in range(4)]

    def work(t):
        # Writers 0 and 1 add the same chain, 2 and 3 chains of their own;
        # each adds every key twice, the second time finding it.
        name = "shared" if t < 2 else f"own{t}"
        prev = roots[0 if t < 2 else t]
        for i in range(2000):
            inputs = [prev, roots[i % 4]]
            node = g.add_op(name, inputs, {"i": i})
            assert g.add_op(name, inputs, {"i": i}) == node
            ids[t][i] = prev = node

    run_threads(work, n=4)
    assert ids[0] == ids[1]
    everything = {v for d in ids for v in d.values()}
    assert g.node_count() == 4 + len(everything) == 4 + 3 * 2000
    assert sorted(everything) == list(range(4, 4 + 3 * 2000))
