"""Stress: eight threads on one GraphStore and one IncrementalReducer, each
doing a fixed number of rounds of every kind of call (interning keys that
overlap with the other threads', nodes(), to_dot(), serialize(), reduce(),
step() and finalize()). On a free-threaded interpreter they run truly in
parallel; with a GIL they interleave between calls.

Afterwards every thread must have seen the same id for every key, the store
must hold exactly one node per distinct key, and nothing may have raised.
The throughput per thread is printed (it is a figure for reports, never an
assertion).
"""
import random
import sys
import sysconfig
import threading
import time

import dagloom_core as dc

THREADS = 8
ROUNDS = 60
SOURCES = 12
# Every round interns KEYS_PER_ROUND keys drawn from a shared pool, so
# threads race to create the same nodes.
POOL = 240
KEYS_PER_ROUND = 12
FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
PD = dict(kind="model", content_hash="h", framework="fw", version="1", io_schema="io")


def pool_key(k):
    """Key k of the shared pool: (method name, arguments). Inputs are pool
    keys with smaller numbers, so a thread interns a key's inputs first."""
    if k < SOURCES:
        return ("add_source", (f"s{k}", {"k": k % 3}))
    a, b = k // 2, k // 3
    kind = k % 6
    if kind == 0:
        return ("add_op", ("add", (a, b)))
    if kind == 1:
        return ("add_op", ("mul", (b, a), {"scalar": 1.0, "side": "r"}))
    if kind == 2:
        return ("add_reduction", ("sum", (a,), {"axis": k % 4}))
    if kind == 3:
        return ("add_external", (dict(PD, content_hash=f"h{k % 5}"), (a, b)))
    if kind == 4:
        return ("add_exchange", ((a,), {"scheme": "hash", "n": k % 7}))
    return ("add_op", ("add", (a,), {"scalar": 0.0, "side": "l"}))


def intern(g, k, ids):
    """Interns pool key k (and its inputs, recursively) and records the ids."""
    if k in ids:
        return ids[k]
    method, args = pool_key(k)
    if method == "add_source":
        result = g.add_source(*args)
    elif method == "add_exchange":
        inputs, params = args
        result = g.add_exchange([intern(g, i, ids) for i in inputs], params)
    else:
        head, inputs, *rest = args
        result = getattr(g, method)(head, [intern(g, i, ids) for i in inputs], *rest)
    ids[k] = result
    return result


def test_eight_threads_on_one_store_and_one_reducer(capsys):
    g, r = dc.GraphStore(), dc.IncrementalReducer()
    gil_before = sys._is_gil_enabled() if FREE_THREADED else None
    barrier = threading.Barrier(THREADS)
    errors, seen = [], [None] * THREADS
    ops, elapsed = [0] * THREADS, [0.0] * THREADS

    def work(t):
        rng = random.Random(t)
        ids = {}
        try:
            barrier.wait()
            start = time.perf_counter()
            for _ in range(ROUNDS):
                for k in rng.sample(range(POOL), KEYS_PER_ROUND):
                    intern(g, k, ids)
                    ops[t] += 1
                count = g.node_count()
                view = g.nodes()
                assert len(view) >= count
                assert all(v["id"] == i and all(x < i for x in v["inputs"]) for i, v in enumerate(view))
                assert g.to_dot().startswith("digraph dagloom")
                data = g.serialize()
                assert dc.GraphStore.deserialize(data).node_count() >= count
                some = rng.choice(list(ids.values()))
                reduced, report = g.reduce(outputs=[some], maximal_fusion=bool(t % 2))
                assert report["reduced_nodes"] == report["stages"] + report["boundary_nodes"]
                assert reduced.node_count() <= report["reduced_nodes"] and len(reduced.outputs()) == 1
                stepped = r.step(g)
                assert stepped >= 0 and r.watermark() <= g.node_count()
                if t % 4 == 0:
                    _, rep = r.finalize(g, outputs=[some])
                    assert rep["reduced_nodes"] == rep["stages"] + rep["boundary_nodes"]
                ops[t] += 8 + (t % 4 == 0)
            elapsed[t] = time.perf_counter() - start
        except BaseException as e:  # noqa: BLE001 - reported by the main thread
            errors.append((t, e))
        seen[t] = ids

    threads = [threading.Thread(target=work, args=(t,)) for t in range(THREADS)]
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    assert not errors, errors

    # One id per key, the same in every thread, and one node per distinct key.
    merged = {}
    for ids in seen:
        for k, i in ids.items():
            assert merged.setdefault(k, i) == i, f"key {k} has ids {merged[k]} and {i}"
    assert g.node_count() == len(set(merged.values())) == len(merged)
    view = g.nodes()
    for k, i in merged.items():
        method, args = pool_key(k)
        node = view[i]
        assert node["kind"] == {"add_source": "source", "add_op": "op", "add_reduction": "reduction",
                                "add_external": "external", "add_exchange": "exchange"}[method]
        if method in ("add_source", "add_op", "add_reduction"):
            assert node["name"] == args[0]
    # The reducer consumed the whole store exactly once.
    r.step(g)
    assert r.watermark() == r.total_work() == g.node_count()
    if FREE_THREADED:
        assert gil_before is False and sys._is_gil_enabled() is False

    with capsys.disabled():
        rates = [ops[t] / elapsed[t] for t in range(THREADS) if elapsed[t] > 0]
        mode = "free-threaded" if FREE_THREADED else "with the GIL"
        print(f"\nstress {sys.version_info.major}.{sys.version_info.minor} {mode}: {THREADS} threads, "
              f"{sum(ops)} operations, {min(rates):.0f}..{max(rates):.0f} ops/s per thread "
              f"(mean {sum(rates) / len(rates):.0f}), store of {g.node_count()} nodes")
