"""Type-checker test of dagloom_core.pyi; never run, only checked.

    mypy --strict tests/typing/usage.py

Every call that the module accepts must type-check with the result types
pinned by assert_type, and every line marked `# type: ignore[code]` must be
rejected by mypy for exactly that reason: --strict includes
--warn-unused-ignores, so a stub that is too loose fails the check as surely
as one that is too tight.
"""

from __future__ import annotations

from typing import Literal, assert_type

import dagloom_core
from dagloom_core import GraphStore, IncrementalReducer, Origins, PayloadDescriptor


def accepted() -> None:
    assert_type(dagloom_core.version(), str)

    g = GraphStore()
    x = g.add_source("x")
    assert_type(x, int)
    y = g.add_source("y", {"k": 1})
    a = g.add_op("add", [x, y])
    b = g.add_op("add", (y, x), None)
    m = g.add_op(name="mul", inputs=range(a, b + 1))
    ints: dict[str, int] = {"n": 2}
    strs: dict[str, str] = {"side": "r"}
    mixed: dict[str, int | float | bool | str] = {"scalar": 0.0, "side": "r", "flag": True}
    z = g.add_op("add", [m], mixed)
    g.add_op("scale", [m], ints)
    g.add_op("pad", [m], strs)
    s = g.add_reduction("sum", [z], params={"axis": 0})

    d = PayloadDescriptor(kind="model", content_hash="h", framework="f", version="1", io_schema="s")
    assert_type(d.kind, str)
    assert_type(d.content_hash, str)
    assert_type(d.framework, str)
    assert_type(d.version, str)
    assert_type(d.io_schema, str)
    assert_type(d.preprocessing_ref, str | None)
    PayloadDescriptor(
        kind="model", content_hash="h", framework="f", version="1", io_schema="s", preprocessing_ref=None
    )
    e1 = g.add_external(d, [s])
    e2 = g.add_external(
        {"kind": "model", "content_hash": "h", "framework": "f", "version": "1", "io_schema": "s"}, [s]
    )
    g.add_external(
        {
            "kind": "model",
            "content_hash": "h",
            "framework": "f",
            "version": "1",
            "io_schema": "s",
            "preprocessing_ref": "tok",
        },
        inputs=[e1, e2],
    )
    assert_type(g.add_exchange([e1], {"scheme": "hash"}), int)
    g.add_exchange(inputs=[])

    assert_type(g.node_count(), int)
    assert_type(g.to_dot(), str)
    assert_type(g.outputs(), list[int])

    for node in g.nodes():
        assert_type(node["id"], int)
        assert_type(node["output"], bool)
        assert_type(node["inputs"], list[int])
        assert_type(node["name"], str)
        assert_type(node["params"], dict[str, int | float | bool | str])
        kind = node["kind"]
        assert_type(kind, Literal["source", "op", "reduction", "external", "stage", "exchange"])
        if "descriptor" in node:
            assert_type(node["descriptor"]["preprocessing_ref"], str | None)
            assert_type(node["descriptor"]["io_schema"], str)
        if "members" in node:
            assert_type(node["n_members"], int)
            for member in node["members"]:
                assert_type(member["kind"], Literal["op", "red"])
                assert_type(member["params"], dict[str, int | float | bool | str])
                for ref_kind, index in member["inputs"]:
                    assert_type(ref_kind, Literal["input", "member"])
                    assert_type(index, int)

    blob = g.serialize()
    assert_type(blob, bytes)
    assert_type(g.serialize([s, s]), bytes)
    assert_type(g.serialize(outputs=None), bytes)
    assert_type(GraphStore.deserialize(blob), GraphStore)
    assert_type(g.deserialize(data=blob), GraphStore)

    reduced, report = g.reduce(outputs=[s])
    assert_type(reduced, GraphStore)
    assert_type(report["input_nodes"], int)
    assert_type(report["reachable_nodes"], int)
    assert_type(report["canonical_nodes"], int)
    assert_type(report["stages"], int)
    assert_type(report["reduced_nodes"], int)
    assert_type(report["boundary_nodes"], int)
    g.reduce(maximal_fusion=True)
    assert_type(g.reduce_incremental(outputs=(s,))[0], GraphStore)
    assert_type(g.reduction_report()["stages"], int)

    r = IncrementalReducer()
    assert_type(r.step(g), int)
    assert_type(r.step(store=g), int)
    assert_type(r.watermark(), int)
    assert_type(r.total_work(), int)
    assert_type(r.canonical_count(), int)
    final, final_report = r.finalize(g, maximal_fusion=False, outputs=[s])
    assert_type(final, GraphStore)
    assert_type(final_report["reduced_nodes"], int)
    r.finalize(store=g)
    traced, _, origins = r.finalize_traced(g, outputs=[s])
    assert_type(traced, GraphStore)
    assert_type(origins, Origins)
    assert_type(origins.node, memoryview)
    assert_type(g.reduce_traced(maximal_fusion=True)[2].outputs, list[int])


def refused(g: GraphStore, d: PayloadDescriptor, r: IncrementalReducer) -> None:
    GraphStore(1)  # type: ignore[call-arg]
    g.add_op("add", "01")  # type: ignore[arg-type]
    g.add_op("add", {0, 1})  # type: ignore[arg-type]
    g.add_source("x", [("k", 1)])  # type: ignore[arg-type]
    g.add_source("x", {"k": [1]})  # type: ignore[type-var]
    g.add_source("x", {1: 1})  # type: ignore[dict-item]
    g.add_source(7)  # type: ignore[arg-type]
    g.add_external([1, 2], [0])  # type: ignore[arg-type]
    g.add_external({"kind": "model", "content_hash": "h", "framework": "f", "io_schema": "s"}, [0])  # type: ignore[arg-type]
    g.reduce(True)  # type: ignore[misc]
    g.reduce(outputs="01")  # type: ignore[arg-type]
    g.reduction_report(maximal_fusion=True)  # type: ignore[call-arg]
    g.reduce_incremental(maximal_fusion=True)  # type: ignore[call-arg]
    g.serialize(outputs="01")  # type: ignore[arg-type]
    GraphStore.deserialize("blob")  # type: ignore[arg-type]
    g.nodes()[0]["colour"]  # type: ignore[typeddict-item]
    g.reduction_report()["total"]  # type: ignore[typeddict-item]
    PayloadDescriptor("model", "h", "f", "1", "s")  # type: ignore[misc]
    PayloadDescriptor(kind="model", content_hash="h", framework="f", version="1")  # type: ignore[call-arg]
    PayloadDescriptor(kind="model", content_hash="h", framework="f", version="1", io_schema=2)  # type: ignore[arg-type]
    d.kind = "other"  # type: ignore[misc]
    r.step([0])  # type: ignore[arg-type]
    r.finalize(g, True)  # type: ignore[misc]
    IncrementalReducer(g)  # type: ignore[call-arg]
    dagloom_core.PanicException  # type: ignore[attr-defined]


class Derived(GraphStore):  # type: ignore[misc]
    pass
