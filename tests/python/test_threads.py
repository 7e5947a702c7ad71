"""Several threads on one object. On free-threaded builds these run truly in
parallel; with a GIL they still interleave between calls."""
import random
import threading

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
