"""The road of one request, end to end.

Records a small graph (two sources, a commutative pair of adds, a mul, an
add-zero identity, a sum and one unused op), shows it, reduces it under both
fusion rules, and then does the same reduction incrementally while the graph
is being built. It shows, for each recorded node, where its value lives in
the reduced graph under both fusion rules (a traced reduction). Finally it
runs the recorded graph and every reduced form with concrete inputs
(dagloom_exec.evaluate, and dagloom_exec.run for several requests at once)
and prints their values, which reduction must not change.

    PYTHONPATH=<build>/python python3 examples/road_of_one_request.py [--out DIR]

DOT files (and PNGs, when Graphviz's `dot` is installed) are written to DIR,
by default a fresh temporary directory whose path is printed.
"""
import argparse
import json
import pathlib
import shutil
import subprocess
import tempfile
from typing import Callable, Optional

import dagloom_core
from dagloom_exec import Impl, evaluate, run

SCALAR_ZERO: dict[str, float | str] = {"scalar": 0.0, "side": "r"}


def record(g: dagloom_core.GraphStore,
           on_node: Optional[Callable[[str, int], None]] = None) -> dict[str, int]:
    """Adds the eight nodes in order; `on_node` runs after each one."""
    ids: dict[str, int] = {}

    def add(label: str, node_id: int) -> None:
        ids[label] = node_id
        if on_node is not None:
            on_node(label, node_id)

    add("x", g.add_source("x"))
    add("y", g.add_source("y"))
    add("x+y", g.add_op("add", [ids["x"], ids["y"]]))
    add("y+x", g.add_op("add", [ids["y"], ids["x"]]))
    add("mul", g.add_op("mul", [ids["x+y"], ids["y+x"]]))
    add("mul+0", g.add_op("add", [ids["mul"]], SCALAR_ZERO))
    add("sum", g.add_reduction("sum", [ids["mul+0"]]))
    add("neg(x)", g.add_op("neg", [ids["x"]]))
    return ids


def show(title: str, store: dagloom_core.GraphStore, out_dir: pathlib.Path, stem: str) -> None:
    print(f"== {title}: {store.node_count()} nodes, outputs {store.outputs()}")
    for node in store.nodes():
        print("  " + json.dumps(node))
    dot = store.to_dot()
    print(dot, end="")
    path = out_dir / f"{stem}.dot"
    path.write_text(dot)
    rendered = render_png(path)
    print(f"  -> {path}" + (f" and {rendered}" if rendered else ""))
    print()


Vector = list[float]


def add(*xs: Vector, scalar: float | None = None, side: str | None = None) -> Vector:
    """Elementwise a + b, or a + scalar (side says on which side the scalar is)."""
    if scalar is not None:
        return [v + scalar if side == "r" else scalar + v for v in xs[0]]
    return [a + b for a, b in zip(xs[0], xs[1])]


def mul(a: Vector, b: Vector) -> Vector:
    return [x * y for x, y in zip(a, b)]


def neg(a: Vector) -> Vector:
    return [-v for v in a]


# What the road's nodes mean, with concrete inputs for its two sources.
IMPL = Impl(ops={"add": add, "mul": mul, "neg": neg},
            reductions={"sum": lambda xs: sum(xs)},
            sources={"x": [1.0, 2.0, 3.0], "y": [4.0, 5.0, 6.0]})


def show_origins(ids: dict[str, int], g: dagloom_core.GraphStore, requests: list[int]) -> None:
    """Where each recorded node's value lives, under each fusion rule."""
    for maximal in (False, True):
        rule = "maximal" if maximal else "single-use"
        reduced, _, origins = g.reduce_traced(maximal_fusion=maximal, outputs=requests)
        kinds = [n["kind"] for n in reduced.nodes()]
        print(f"== where the recorded values live, {rule} fusion, requests {requests}: "
              f"reduced ids {origins.outputs}")
        for label, i in ids.items():
            node, member = origins.node[i], origins.member[i]
            if node < 0:
                place = "not needed"
            elif member < 0:
                place = f"node {node} ({kinds[node]})"
            else:
                place = f"node {node} (stage), member {member}"
            print(f"  recorded {label:7} (id {i}) -> {place}")
    print()


def render_png(dot_path: pathlib.Path) -> Optional[pathlib.Path]:
    if shutil.which("dot") is None:
        return None
    png = dot_path.with_suffix(".png")
    subprocess.run(["dot", "-Tpng", str(dot_path), "-o", str(png)], check=True)
    return png


def main() -> None:
    parser = argparse.ArgumentParser(description=(__doc__ or "").splitlines()[0])
    parser.add_argument("--out", type=pathlib.Path, help="directory for the DOT and PNG files")
    args = parser.parse_args()
    out_dir: pathlib.Path = args.out or pathlib.Path(tempfile.mkdtemp(prefix="dagloom-road-"))
    out_dir.mkdir(parents=True, exist_ok=True)
    print(f"dagloom_core {dagloom_core.version()}; writing files to {out_dir}\n")

    g = dagloom_core.GraphStore()
    ids = record(g)
    show("recorded graph", g, out_dir, "recorded")

    # A store built from Python marks no outputs, so the output is named.
    for maximal in (False, True):
        rule = "maximal" if maximal else "single-use"
        reduced, report = g.reduce(maximal_fusion=maximal, outputs=[ids["sum"]])
        print(f"== report, {rule} fusion: {json.dumps(report)}")
        show(f"reduced graph, {rule} fusion", reduced, out_dir, f"reduced-{rule}")

    # Incrementally: step after every recorded node, then finalize once.
    g2 = dagloom_core.GraphStore()
    reducer = dagloom_core.IncrementalReducer()

    def step(label: str, node_id: int) -> None:
        taken = reducer.step(g2)
        print(f"  recorded {label:7} as id {node_id}: step took {taken}, "
              f"canonical form {reducer.canonical_count()} nodes")

    print("== incremental run")
    ids2 = record(g2, on_node=step)
    print(f"  watermark {reducer.watermark()}, total work {reducer.total_work()}")
    reduced, report = reducer.finalize(g2, outputs=[ids2["sum"]])
    print(f"== report, incremental finalize: {json.dumps(report)}")
    same = reduced.serialize() == g.reduce(outputs=[ids["sum"]])[0].serialize()
    print(f"  same reduced graph as GraphStore.reduce: {same}")
    show("reduced graph, incremental", reduced, out_dir, "reduced-incremental")

    show_origins(ids, g, [ids["sum"]])
    # Several requests, two of them equal after reduction: one value each.
    requests = [ids["sum"], ids["x+y"], ids["mul+0"], ids["y+x"]]

    print(f"== values with x = {IMPL.sources['x']}, y = {IMPL.sources['y']}")
    want = evaluate(g, IMPL, [ids["sum"]])
    print(f"  recorded graph, output {ids['sum']}: {want}")
    results = {"recorded": want}
    for maximal in (False, True):
        rule = "maximal" if maximal else "single-use"
        store = g.reduce(maximal_fusion=maximal, outputs=[ids["sum"]])[0]
        results[rule] = evaluate(store, IMPL)
        print(f"  reduced graph, {rule} fusion, output {store.outputs()[0]}: {results[rule]}")
    results["incremental"] = evaluate(reduced, IMPL)
    print(f"  reduced graph, incremental: {results['incremental']}")
    asked = evaluate(g, IMPL, requests)
    print(f"  recorded graph, requests {requests}: {asked}")
    runs = []
    for maximal in (False, True):
        rule = "maximal" if maximal else "single-use"
        runs.append(run(g, IMPL, requests, maximal_fusion=maximal))
        print(f"  run, {rule} fusion, requests {requests}: {runs[-1]}")
    same = all(v == want for v in results.values()) and all(got == asked for got in runs)
    print(f"  equal before and after reduction: {same}")
    if not same:
        raise SystemExit("reduction changed a value")


if __name__ == "__main__":
    main()
