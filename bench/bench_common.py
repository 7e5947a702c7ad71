"""Helpers shared by the Python benchmarks: timing, memory, graph recipes."""

import gc
import os
import random
import time


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def best_of(fn, repeat=3):
    """Smallest wall time of `repeat` runs of fn() (returns (seconds, last result))."""
    best, result = float("inf"), None
    for _ in range(repeat):
        # The previous result is freed before the clock starts: rebinding
        # it after the call would time its deallocation as part of this one.
        result = None
        t0 = time.perf_counter()
        result = fn()
        best = min(best, time.perf_counter() - t0)
    return best, result


def best_in_turns(fns, repeat=5):
    """Smallest wall time of each of fns over `repeat` rounds, the fns run
    in turns within a round: figures that are subtracted or divided then
    meet the machine at the same speed (a VM's speed drifts by the
    second). Returns the list of (seconds, last result)."""
    best = [(float("inf"), None)] * len(fns)
    result = None
    for _ in range(repeat):
        for i, fn in enumerate(fns):
            # Earlier results are freed before the clock starts.
            best[i] = (best[i][0], None)
            result = None
            gc.collect()
            t0 = time.perf_counter()
            result = fn()
            best[i] = (min(best[i][0], time.perf_counter() - t0), result)
    return best


def build_records(n, seed=1):
    """A mix of sources and ops with 1-2 inputs and 0-2 params, as call tuples.

    ("src", name, params) or ("op", name, inputs, params); ids refer to
    earlier records, so each record's id is its position when every record
    is new (a few repeats are mixed in on purpose).
    """
    rng = random.Random(seed)
    names = ["add", "mul", "neg", "exp", "sub", "max"]
    records = []
    for i in range(n):
        if i < 2 or rng.random() < 0.1:
            params = {"k": rng.randrange(4)} if rng.random() < 0.5 else None
            records.append(("src", "s%d" % i, params))
            continue
        k = rng.random()
        inputs = [rng.randrange(i)] if k < 0.5 else [rng.randrange(i), rng.randrange(i)]
        r = rng.random()
        if r < 0.4:
            params = None
        elif r < 0.8:
            params = {"scalar": rng.choice([0.0, 1.0, 2.5])}
        else:
            params = {"scalar": 1.0, "side": rng.choice(["l", "r"])}
        records.append(("op", rng.choice(names), inputs, params))
    return records


def report(label, value, unit):
    # Ratios get two places: their targets are fractions such as 0.3.
    print("%-48s %12.*f %s" % (label, 2 if unit == "x" else 1, value, unit))


IDENTITY = {"scalar": 0.0, "side": "r"}


def reduction_records(n, seed=2):
    """Records for reduction benchmarks: chains, fan-out, mirrored commutative
    pairs and identity ops over a few sources, ending in reductions.

    Returns (records, outputs) where records are ("src"|"op"|"red", name,
    inputs, params) and outputs are record positions.
    """
    rng = random.Random(seed)
    records = [("src", "x%d" % i, [], None) for i in range(8)]
    outputs = []
    while len(records) < n:
        i = len(records)
        r = rng.random()
        a = rng.randrange(max(0, i - 64), i)
        b = rng.randrange(max(0, i - 64), i)
        if r < 0.25:  # a chain link
            records.append(("op", rng.choice(["neg", "exp", "log"]), [i - 1], None))
        elif r < 0.45:  # a commutative pair and its mirror
            name = rng.choice(["add", "mul", "maximum"])
            records.append(("op", name, [a, b], None))
            records.append(("op", name, [b, a], None))
        elif r < 0.6:  # an identity op
            records.append(("op", "add", [a], IDENTITY))
        elif r < 0.9:  # fan-in over recent nodes
            records.append(("op", rng.choice(["sub", "div"]), [a, b], {"k": rng.randrange(3)}))
        else:
            records.append(("red", "sum", [i - 1], None))
            outputs.append(len(records) - 1)
    return records[:n], [o for o in outputs if o < n] or [n - 1]


def record_into(store, records):
    add = {"src": lambda r: store.add_source(r[1], r[3]), "op": lambda r: store.add_op(r[1], r[2], r[3]),
           "red": lambda r: store.add_reduction(r[1], r[2], r[3])}
    ids = []
    for rec in records:
        ids.append(add[rec[0]]((rec[0], rec[1], [ids[i] for i in rec[2]], rec[3])))
    return ids
