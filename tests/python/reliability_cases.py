"""Shared material for the reliability tests and tools/leak-check.py: a small
world of objects (a store with marked outputs, a reducer that has consumed
part of it, descriptors, blobs) and two tables of calls on it:

- SUCCESS: every public method and property of the module, called so that
  repeating the call leaves the world as it was (interning existing keys,
  stepping without new nodes, reading).
- ERRORS: every documented error path, with the exception type and the
  start of its message. A refused call must leave the world unchanged.

Arguments come from World attributes where possible, so that a call which
leaks a reference to its arguments shows up in their reference counts.
"""
import struct

import dagloom_core as dc

PD = dict(kind="k", content_hash="h", framework="f", version="v", io_schema="s")
TRUNCATED = "truncated dagloom IR blob"


def u32(n):
    return struct.pack("<I", n)


def u64(n):
    return struct.pack("<Q", n)


def text(b):
    return u32(len(b)) + b


def blob(*records, outputs=()):
    return b"DIR1" + u32(len(records)) + b"".join(records) + u32(len(outputs)) + b"".join(map(u64, outputs))


def stage(inputs, *members):
    out = b"\x04" + u32(len(inputs)) + b"".join(map(u64, inputs)) + u32(len(members))
    for op, refs in members:
        out += text(op) + u32(len(refs)) + b"".join(bytes([tag]) + u32(i) for tag, i in refs)
    return out


NO_PARAMS = u32(0)
SRC_X = b"\x00" + text(b"x") + NO_PARAMS


def build_road():
    """x, y, add(x, y), add(y, x), mul of both adds, add-zero of mul, sum, unused neg(x)."""
    g = dc.GraphStore()
    x = g.add_source("x")
    y = g.add_source("y")
    a = g.add_op("add", [x, y])
    b = g.add_op("add", [y, x])
    m = g.add_op("mul", [a, b])
    z = g.add_op("add", [m], {"scalar": 0.0, "side": "r"})
    s = g.add_reduction("sum", [z])
    g.add_op("neg", [x])
    assert (x, y, a, b, m, z, s) == tuple(range(7))
    return g


class Mutator:
    """A param value whose conversion (through __index__) changes the dict being read."""

    def __init__(self, d, change):
        self.d, self.change = d, change

    def __index__(self):
        self.change(self.d)
        return 1


def growing_params():
    d = {}
    d.update(a=0, b=Mutator(d, lambda d: d.update(zz=0)))
    return d


def key_swapping_params():
    d = {}
    d.update(a=Mutator(d, lambda d: (d.pop("a"), d.update(c=0))), b=0)
    return d


class World:
    """The objects every case works on. The store has marked outputs and
    nodes of every kind the building methods make; the reducer has consumed
    only its first eight nodes, so a call that wrongly consumed the delta
    before failing would move its watermark."""

    def __init__(self):
        self.g = dc.GraphStore.deserialize(build_road().serialize(outputs=[6, 2]))
        self.r = dc.IncrementalReducer()
        self.r.step(self.g)
        self.pd = dc.PayloadDescriptor(**PD)
        self.pd_ref = dc.PayloadDescriptor(**PD, preprocessing_ref="p")
        self.pd_dict = dict(PD)
        self.params = {"i": -5, "f": 1.5, "b": True, "s": "a;b", "z": -0.0}
        self.scheme = {"scheme": "hash", "partitions": 4}
        self.ins01 = [0, 1]
        self.ins0 = (0,)
        self.g.add_source("p", self.params)
        self.g.add_external(self.pd, self.ins01)
        self.g.add_external(self.pd_dict, [8], {"k": 1})
        self.g.add_exchange([9], self.scheme)
        self.g.add_op("add", [10, 10])
        self.n = self.g.node_count()
        self.r_full = dc.IncrementalReducer()
        self.r_full.step(self.g)
        self.missing = [self.n]
        self.blob = self.g.serialize()
        self.reduced, _ = self.g.reduce(maximal_fusion=True, outputs=[6, 12])
        self.bad_stage = dc.GraphStore.deserialize(blob(SRC_X, stage([0], (b'src|"x', [(0, 0)]))))
        self.bad_stage_blob = self.bad_stage.serialize()

    def watched(self):
        """Every long-lived object of the world, for reference-count checks."""
        return [v for k, v in sorted(vars(self).items()) if not isinstance(v, int)]

    def state(self):
        """What a refused call must not change."""
        return (
            self.g.node_count(), self.g.outputs(), self.g.serialize(), self.g.to_dot(), self.g.nodes(),
            self.r.watermark(), self.r.total_work(), self.r.canonical_count(),
            self.r_full.watermark(), self.r_full.total_work(), self.r_full.canonical_count(),
            self.reduced.serialize(), self.bad_stage.serialize(), dict(self.params), list(self.ins01),
        )


G = dc.GraphStore
R = dc.IncrementalReducer
# Internal failures raise PanicException, which derives from BaseException
# and is not exported by the module.
PANIC = "PanicException"

# (id, call, exception type, start of the message). An empty start means the
# message is the interpreter's own and is not checked.
ERRORS = [
    # ---- argument binding
    ("bind-missing-name", lambda w: w.g.add_source(), TypeError,
     "GraphStore.add_source() missing 1 required positional argument: 'name'"),
    ("bind-missing-inputs", lambda w: w.g.add_op("a"), TypeError,
     "GraphStore.add_op() missing 1 required positional argument: 'inputs'"),
    ("bind-missing-two", lambda w: w.g.add_reduction(), TypeError,
     "GraphStore.add_reduction() missing 2 required positional arguments: 'name' and 'inputs'"),
    ("bind-too-many", lambda w: w.g.add_op("a", w.ins01, None, 1), TypeError,
     "GraphStore.add_op() takes from 2 to 3 positional arguments but 4 were given"),
    ("bind-twice", lambda w: w.g.add_source("x", name="y"), TypeError,
     "GraphStore.add_source() got multiple values for argument 'name'"),
    ("bind-unknown-keyword", lambda w: w.g.add_source("x", bogus=1), TypeError,
     "GraphStore.add_source() got an unexpected keyword argument 'bogus'"),
    ("bind-external-missing", lambda w: w.g.add_external(w.pd), TypeError,
     "GraphStore.add_external() missing 1 required positional argument: 'inputs'"),
    ("bind-exchange-missing", lambda w: w.g.add_exchange(), TypeError,
     "GraphStore.add_exchange() missing 1 required positional argument: 'inputs'"),
    ("bind-node-count", lambda w: w.g.node_count(1), TypeError,
     "GraphStore.node_count() takes 0 positional arguments but 1 was given"),
    ("bind-to-dot", lambda w: w.g.to_dot(x=1), TypeError, "GraphStore.to_dot() got an unexpected keyword argument 'x'"),
    ("bind-nodes", lambda w: w.g.nodes(1), TypeError, "GraphStore.nodes() takes 0 positional arguments but 1 was given"),
    ("bind-outputs", lambda w: w.g.outputs(1), TypeError,
     "GraphStore.outputs() takes 0 positional arguments but 1 was given"),
    ("bind-serialize", lambda w: w.g.serialize(None, None), TypeError,
     "GraphStore.serialize() takes from 0 to 1 positional arguments but 2 were given"),
    ("bind-reduce-positional", lambda w: w.g.reduce(True), TypeError,
     "GraphStore.reduce() takes 0 positional arguments but 1 was given"),
    ("bind-reduce-keyword", lambda w: w.g.reduce(max_fusion=True), TypeError,
     "GraphStore.reduce() got an unexpected keyword argument 'max_fusion'"),
    ("bind-report-keyword", lambda w: w.g.reduction_report(maximal_fusion=True), TypeError,
     "GraphStore.reduction_report() got an unexpected keyword argument 'maximal_fusion'"),
    ("bind-incremental-positional", lambda w: w.g.reduce_incremental(w.ins01), TypeError,
     "GraphStore.reduce_incremental() takes 0 positional arguments but 1 was given"),
    ("bind-deserialize", lambda w: G.deserialize(), TypeError,
     "GraphStore.deserialize() missing 1 required positional argument: 'data'"),
    ("bind-store-new", lambda w: G(1), TypeError, "GraphStore.__new__() takes 0 positional arguments but 1 was given"),
    ("bind-version", lambda w: dc.version(1), TypeError, "version() takes 0 positional arguments but 1 was given"),
    ("bind-receiver", lambda w: G.node_count(w.r), TypeError, ""),
    ("bind-reducer-new", lambda w: R(w.g), TypeError,
     "IncrementalReducer.__new__() takes 0 positional arguments but 1 was given"),
    ("bind-step-missing", lambda w: w.r.step(), TypeError,
     "IncrementalReducer.step() missing 1 required positional argument: 'store'"),
    ("bind-step-too-many", lambda w: w.r.step(w.g, 1), TypeError,
     "IncrementalReducer.step() takes 1 positional arguments but 2 were given"),
    ("bind-finalize-positional", lambda w: w.r.finalize(w.g, False), TypeError,
     "IncrementalReducer.finalize() takes 1 positional arguments but 2 were given"),
    ("bind-watermark", lambda w: w.r.watermark(store=w.g), TypeError,
     "IncrementalReducer.watermark() got an unexpected keyword argument 'store'"),
    ("bind-total-work", lambda w: w.r.total_work(1), TypeError,
     "IncrementalReducer.total_work() takes 0 positional arguments but 1 was given"),
    ("bind-canonical-count", lambda w: w.r.canonical_count(1), TypeError,
     "IncrementalReducer.canonical_count() takes 0 positional arguments but 1 was given"),
    ("bind-descriptor-missing", lambda w: dc.PayloadDescriptor(kind="k"), TypeError,
     "PayloadDescriptor.__new__() missing 4 required keyword arguments: "
     "'content_hash', 'framework', 'version', and 'io_schema'"),
    ("bind-descriptor-positional", lambda w: dc.PayloadDescriptor("k", **PD), TypeError,
     "PayloadDescriptor.__new__() takes 0 positional arguments but 1 was given"),
    ("descriptor-read-only", lambda w: setattr(w.pd, "kind", "x"), AttributeError, ""),
    # ---- conversions
    ("name-int", lambda w: w.g.add_source(1), TypeError, "argument 'name': 'int' object is not an instance of 'str'"),
    ("name-none", lambda w: w.g.add_op(None, w.ins01), TypeError,
     "argument 'name': 'NoneType' object is not an instance of 'str'"),
    ("inputs-str", lambda w: w.g.add_op("a", "01"), TypeError, "argument 'inputs': Can't extract `str` to `Vec`"),
    ("inputs-set", lambda w: w.g.add_op("a", {0}), TypeError,
     "argument 'inputs': 'set' object is not an instance of 'Sequence'"),
    ("inputs-dict", lambda w: w.g.add_op("a", {0: 0}), TypeError,
     "argument 'inputs': 'dict' object is not an instance of 'Sequence'"),
    ("inputs-generator", lambda w: w.g.add_op("a", (i for i in w.ins01)), TypeError,
     "argument 'inputs': 'generator' object is not an instance of 'Sequence'"),
    ("inputs-int", lambda w: w.g.add_reduction("sum", 0), TypeError,
     "argument 'inputs': 'int' object is not an instance of 'Sequence'"),
    ("inputs-float-item", lambda w: w.g.add_op("a", [0, 0.5]), TypeError, "argument 'inputs': "),
    ("inputs-negative", lambda w: w.g.add_op("a", [0, -1]), OverflowError, ""),
    ("inputs-too-large", lambda w: w.g.add_reduction("sum", [2**64]), OverflowError, ""),
    ("params-list", lambda w: w.g.add_source("x", [("k", 1)]), TypeError, "params must be a dict or None"),
    ("params-value-list", lambda w: w.g.add_op("a", w.ins01, {"k": [1]}), TypeError,
     "param values must be int, float, bool, or str"),
    ("params-value-huge", lambda w: w.g.add_source("x", {"k": 2**1024}), TypeError,
     "param values must be int, float, bool, or str"),
    ("params-value-none", lambda w: w.g.add_exchange(w.ins0, {"k": None}), TypeError,
     "param values must be int, float, bool, or str"),
    ("params-key-int", lambda w: w.g.add_source("x", {1: 1}), TypeError, "'int' object is not an instance of 'str'"),
    ("params-dict-grows", lambda w: w.g.add_source("x", growing_params()), PANIC,
     "dictionary changed size during iteration"),
    ("params-dict-keys-change", lambda w: w.g.add_op("a", w.ins01, key_swapping_params()), PANIC,
     "dictionary keys changed during iteration"),
    ("descriptor-list", lambda w: w.g.add_external([], w.ins01), TypeError,
     "descriptor must be a PayloadDescriptor or dict"),
    ("descriptor-missing-field", lambda w: w.g.add_external({k: v for k, v in PD.items() if k != "version"}, w.ins01),
     ValueError, "descriptor missing required field 'version'"),
    ("descriptor-empty-dict", lambda w: w.g.add_external({}, w.ins01), ValueError,
     "descriptor missing required field 'kind'"),
    ("descriptor-ref-int", lambda w: w.g.add_external({"preprocessing_ref": 1}, w.ins01), TypeError,
     "'int' object is not an instance of 'str'"),
    ("descriptor-field-none", lambda w: w.g.add_external({**PD, "kind": None}, w.ins01), TypeError,
     "'NoneType' object is not an instance of 'str'"),
    ("external-inputs-str", lambda w: w.g.add_external(w.pd, "0"), TypeError,
     "argument 'inputs': Can't extract `str` to `Vec`"),
    ("external-params", lambda w: w.g.add_external(w.pd, w.ins01, 1), TypeError, "params must be a dict or None"),
    ("exchange-inputs-str", lambda w: w.g.add_exchange("0"), TypeError,
     "argument 'inputs': Can't extract `str` to `Vec`"),
    ("new-descriptor-bytes", lambda w: dc.PayloadDescriptor(**{**PD, "framework": b"f"}), TypeError,
     "argument 'framework': 'bytes' object is not an instance of 'str'"),
    ("new-descriptor-ref-int", lambda w: dc.PayloadDescriptor(**PD, preprocessing_ref=0), TypeError,
     "argument 'preprocessing_ref': 'int' object is not an instance of 'str'"),
    # ---- ids that name no node
    ("op-missing-input", lambda w: w.g.add_op("a", [0, w.n]), ValueError, "no node with id "),
    ("op-first-missing-wins", lambda w: w.g.add_op("a", [w.n + 7, w.n]), ValueError, "no node with id "),
    ("reduction-missing-input", lambda w: w.g.add_reduction("sum", w.missing), ValueError, "no node with id "),
    ("external-missing-input", lambda w: w.g.add_external(w.pd, w.missing), ValueError, "no node with id "),
    ("exchange-missing-input", lambda w: w.g.add_exchange(w.missing, w.scheme), ValueError, "no node with id "),
    ("serialize-missing", lambda w: w.g.serialize(outputs=[0, w.n + 1]), ValueError, "no node with id "),
    ("serialize-str", lambda w: w.g.serialize(outputs="01"), TypeError,
     "argument 'outputs': Can't extract `str` to `Vec`"),
    ("serialize-negative", lambda w: w.g.serialize([-1]), OverflowError, ""),
    ("serialize-set", lambda w: w.g.serialize({0}), TypeError,
     "argument 'outputs': 'set' object is not an instance of 'Sequence'"),
    ("reduce-missing", lambda w: w.g.reduce(outputs=w.missing), ValueError, "no node with id "),
    ("reduce-str", lambda w: w.g.reduce(outputs="01"), TypeError, "argument 'outputs': Can't extract `str` to `Vec`"),
    ("reduce-negative", lambda w: w.g.reduce(outputs=[-1]), OverflowError, ""),
    ("reduce-fusion-int", lambda w: w.g.reduce(maximal_fusion=1), TypeError, "argument 'maximal_fusion': "),
    ("reduce-fusion-none", lambda w: w.g.reduce(maximal_fusion=None), TypeError,
     "argument 'maximal_fusion': 'NoneType' object is not an instance of 'bool'"),
    ("reduce-fusion-checked-first", lambda w: w.g.reduce(maximal_fusion=0, outputs="01"), TypeError,
     "argument 'maximal_fusion': "),
    ("report-missing", lambda w: w.g.reduction_report(outputs=[0, w.n]), ValueError, "no node with id "),
    ("incremental-missing", lambda w: w.g.reduce_incremental(outputs=w.missing), ValueError, "no node with id "),
    ("incremental-str", lambda w: w.g.reduce_incremental(outputs="0"), TypeError,
     "argument 'outputs': Can't extract `str` to `Vec`"),
    # ---- blobs
    ("blob-empty", lambda w: G.deserialize(b""), ValueError, TRUNCATED),
    ("blob-short", lambda w: G.deserialize(b"DIR"), ValueError, TRUNCATED),
    ("blob-magic", lambda w: G.deserialize(b"DIR2" + w.blob[4:]), ValueError,
     "not a dagloom IR blob (bad magic/version)"),
    ("blob-truncated", lambda w: G.deserialize(w.blob[:-1]), ValueError, TRUNCATED),
    ("blob-node-tag", lambda w: G.deserialize(b"DIR1" + u32(1) + b"\x06"), ValueError, "invalid node tag 6"),
    ("blob-param-tag", lambda w: G.deserialize(blob(b"\x00" + text(b"x") + u32(1) + text(b"k") + b"\x04")),
     ValueError, "invalid param tag 4"),
    ("blob-stage-ref-tag", lambda w: G.deserialize(blob(stage([], (b"op|neg", [(2, 0)])))), ValueError,
     "invalid stage-ref tag 2"),
    ("blob-utf8", lambda w: G.deserialize(blob(b"\x00" + text(b"\xff") + NO_PARAMS)), ValueError,
     "invalid utf-8 in dagloom IR blob"),
    ("blob-input-ref", lambda w: G.deserialize(blob(b"\x01" + text(b"f") + NO_PARAMS + u32(1) + u64(0))), ValueError,
     "node reference 0 out of range"),
    ("blob-output-ref", lambda w: G.deserialize(blob(SRC_X, outputs=[1])), ValueError, "node reference 1 out of range"),
    ("blob-member-ref", lambda w: G.deserialize(blob(SRC_X, stage([0], (b"op|neg", [(1, 0)])))), ValueError,
     "node reference 0 out of range"),
    ("blob-huge-count", lambda w: G.deserialize(b"DIR1" + u32(2**32 - 1) + SRC_X), ValueError, TRUNCATED),
    ("blob-bytearray", lambda w: G.deserialize(bytearray(w.blob)), TypeError,
     "argument 'data': 'bytearray' object is not an instance of 'bytes'"),
    ("blob-memoryview", lambda w: G.deserialize(memoryview(w.blob)), TypeError,
     "argument 'data': 'memoryview' object is not an instance of 'bytes'"),
    ("blob-none", lambda w: G.deserialize(None), TypeError,
     "argument 'data': 'NoneType' object is not an instance of 'bytes'"),
    ("nodes-unparseable-member", lambda w: w.bad_stage.nodes(), ValueError,
     'unparseable stage member token "src|\\"x"'),
    # ---- the incremental reducer
    ("step-int", lambda w: w.r.step(5), TypeError, "argument 'store': 'int' object is not an instance of 'GraphStore'"),
    ("step-none", lambda w: w.r.step(None), TypeError,
     "argument 'store': 'NoneType' object is not an instance of 'GraphStore'"),
    ("finalize-not-store", lambda w: w.r.finalize(w.r), TypeError,
     "argument 'store': 'IncrementalReducer' object is not an instance of 'GraphStore'"),
    ("finalize-fusion-none", lambda w: w.r.finalize(w.g, maximal_fusion=None), TypeError,
     "argument 'maximal_fusion': 'NoneType' object is not an instance of 'bool'"),
    ("finalize-fusion-int", lambda w: w.r.finalize(w.g, maximal_fusion=1), TypeError, "argument 'maximal_fusion': "),
    ("finalize-fusion-checked-first", lambda w: w.r.finalize(w.g, maximal_fusion=0, outputs="01"), TypeError,
     "argument 'maximal_fusion': "),
    ("finalize-str", lambda w: w.r.finalize(w.g, outputs="01"), TypeError,
     "argument 'outputs': Can't extract `str` to `Vec`"),
    ("finalize-missing", lambda w: w.r.finalize(w.g, outputs=[0, w.n]), ValueError, "no node with id "),
    ("finalize-negative", lambda w: w.r.finalize(w.g, outputs=[-1]), OverflowError, ""),
    # ---- traced reductions (their other errors are those of reduce and finalize)
    ("reduce-traced-missing", lambda w: w.g.reduce_traced(outputs=w.missing), ValueError, "no node with id "),
    ("finalize-traced-missing", lambda w: w.r.finalize_traced(w.g, outputs=[0, w.n]), ValueError, "no node with id "),
    ("origins-new", lambda w: dc.Origins(), TypeError, "cannot create 'dagloom_core.Origins' instances"),
]

# (id, call). Each may be repeated any number of times on one world.
SUCCESS = [
    ("version", lambda w: dc.version()),
    ("new-store", lambda w: G()),
    ("add-source", lambda w: w.g.add_source("x")),
    ("add-source-params", lambda w: w.g.add_source("p", w.params)),
    ("add-op", lambda w: w.g.add_op("add", w.ins01)),
    ("add-op-params", lambda w: w.g.add_op("add", [4], {"scalar": 0.0, "side": "r"})),
    ("add-reduction", lambda w: w.g.add_reduction("sum", [5])),
    ("add-external", lambda w: w.g.add_external(w.pd, w.ins01)),
    ("add-external-dict", lambda w: w.g.add_external(w.pd_dict, [8], {"k": 1})),
    ("add-exchange", lambda w: w.g.add_exchange([9], w.scheme)),
    ("node-count", lambda w: w.g.node_count()),
    ("to-dot", lambda w: w.g.to_dot()),
    ("to-dot-stages", lambda w: w.reduced.to_dot()),
    ("nodes", lambda w: w.g.nodes()),
    ("nodes-stages", lambda w: w.reduced.nodes()),
    ("outputs", lambda w: w.g.outputs()),
    ("serialize", lambda w: w.g.serialize()),
    ("serialize-outputs", lambda w: w.g.serialize(outputs=[6, 6, 0])),
    ("deserialize", lambda w: G.deserialize(w.blob)),
    ("deserialize-stages", lambda w: G.deserialize(w.bad_stage_blob)),
    ("reduce", lambda w: w.g.reduce()),
    ("reduce-maximal-outputs", lambda w: w.g.reduce(maximal_fusion=True, outputs=[6, 12])),
    ("reduce-reduced", lambda w: w.reduced.reduce()),
    ("reduction-report", lambda w: w.g.reduction_report(outputs=w.ins01)),
    ("reduce-incremental", lambda w: w.g.reduce_incremental()),
    ("descriptor-new", lambda w: dc.PayloadDescriptor(**PD, preprocessing_ref="p")),
    ("descriptor-properties", lambda w: (w.pd_ref.kind, w.pd_ref.content_hash, w.pd_ref.framework, w.pd_ref.version,
                                         w.pd_ref.io_schema, w.pd_ref.preprocessing_ref, w.pd.preprocessing_ref)),
    ("reducer-new", lambda w: R()),
    ("step-no-delta", lambda w: w.r_full.step(w.g)),
    ("fresh-reducer-cycle", lambda w: (lambda r: (r.step(w.g), r.finalize(w.g, maximal_fusion=True)))(R())),
    ("finalize", lambda w: w.r_full.finalize(w.g)),
    ("finalize-outputs", lambda w: w.r_full.finalize(w.g, outputs=w.ins01)),
    ("reducer-counters", lambda w: (w.r.watermark(), w.r.total_work(), w.r.canonical_count())),
    ("reduce-traced", lambda w: w.g.reduce_traced(maximal_fusion=True, outputs=[6, 12, 6])),
    ("finalize-traced", lambda w: w.r_full.finalize_traced(w.g, outputs=w.ins01)),
    ("origins-read", lambda w: (lambda o: (o.node.tolist(), o.member.tolist(), memoryview(o).nbytes, o.outputs,
                                           o.input_nodes, repr(o)))(w.reduced.reduce_traced()[2])),
]


def run_case(call, world, exc):
    """Calls once; returns the exception raised (None on success). A call
    that should succeed and raises, or raises the wrong type, propagates."""
    if exc is None:
        call(world)
        return None
    if exc == PANIC:
        try:
            call(world)
        except Exception:
            raise
        except BaseException as e:
            if type(e).__name__ != PANIC:
                raise
            return e
    else:
        try:
            call(world)
        except exc as e:
            return e
    raise AssertionError("no exception raised")
