"""Argument binding and conversion: exact messages, classification order, and
that a refused call leaves the store as it was."""
import math

import dagloom_core as dc
import pytest

PD = dict(kind="k", content_hash="h", framework="f", version="v", io_schema="s")


def store2():
    g = dc.GraphStore()
    g.add_source("a")
    g.add_source("b")
    return g


R = dc.IncrementalReducer
G = dc.GraphStore

BINDING = [
    (lambda: G().add_op("a"), "GraphStore.add_op() missing 1 required positional argument: 'inputs'"),
    (lambda: G().add_reduction(), "GraphStore.add_reduction() missing 2 required positional arguments: 'name' and 'inputs'"),
    (lambda: G().add_op("a", [], None, 1), "GraphStore.add_op() takes from 2 to 3 positional arguments but 4 were given"),
    (lambda: G().add_exchange([], None, 1), "GraphStore.add_exchange() takes from 1 to 2 positional arguments but 3 were given"),
    (lambda: G().serialize(None, None), "GraphStore.serialize() takes from 0 to 1 positional arguments but 2 were given"),
    (lambda: G().node_count(1), "GraphStore.node_count() takes 0 positional arguments but 1 was given"),
    (lambda: G().reduce(True), "GraphStore.reduce() takes 0 positional arguments but 1 was given"),
    (lambda: G().add_source("a", name="b"), "GraphStore.add_source() got multiple values for argument 'name'"),
    (lambda: G().add_source("a", nam="b"), "GraphStore.add_source() got an unexpected keyword argument 'nam'"),
    (lambda: G().reduce(max_fusion=True), "GraphStore.reduce() got an unexpected keyword argument 'max_fusion'"),
    (lambda: G().add_op("a", [], None, 1, name="b"), "GraphStore.add_op() got multiple values for argument 'name'"),
    (lambda: G.deserialize(), "GraphStore.deserialize() missing 1 required positional argument: 'data'"),
    (lambda: G(1), "GraphStore.__new__() takes 0 positional arguments but 1 was given"),
    (lambda: G(x=1), "GraphStore.__new__() got an unexpected keyword argument 'x'"),
    (lambda: dc.version(1), "version() takes 0 positional arguments but 1 was given"),
    (lambda: dc.PayloadDescriptor(kind="k"), "PayloadDescriptor.__new__() missing 4 required keyword arguments: "
     "'content_hash', 'framework', 'version', and 'io_schema'"),
    (lambda: dc.PayloadDescriptor(kind="k", content_hash="", framework=""),
     "PayloadDescriptor.__new__() missing 2 required keyword arguments: 'version' and 'io_schema'"),
    (lambda: dc.PayloadDescriptor("k", **PD), "PayloadDescriptor.__new__() takes 0 positional arguments but 1 was given"),
    (lambda: R(G()), "IncrementalReducer.__new__() takes 0 positional arguments but 1 was given"),
    (lambda: R().step(), "IncrementalReducer.step() missing 1 required positional argument: 'store'"),
    (lambda: R().finalize(G(), False), "IncrementalReducer.finalize() takes 1 positional arguments but 2 were given"),
    (lambda: R().watermark(store=G()), "IncrementalReducer.watermark() got an unexpected keyword argument 'store'"),
]


@pytest.mark.parametrize("call, message", BINDING)
def test_binding_messages(call, message):
    with pytest.raises(TypeError) as e:
        call()
    assert str(e.value) == message


def test_keyword_forms_bind_like_positional():
    g = G()
    assert g.add_source(name="a", params={"k": 1}) == g.add_source("a", {"k": 1})
    assert g.add_op(inputs=[0], name="f") == g.add_op("f", [0]) == 1
    assert g.add_external(params=None, inputs=[0], descriptor=PD) == g.add_external(PD, [0]) == 2
    assert G.deserialize(data=g.serialize(outputs=[2])).outputs() == [2]
    assert g.__class__.deserialize(g.serialize()).node_count() == 3


@pytest.mark.parametrize(
    "call, exc, message",
    [
        (lambda g: g.add_source(1), TypeError, "argument 'name': 'int' object is not an instance of 'str'"),
        (lambda g: g.add_op(None, [0]), TypeError, "argument 'name': 'NoneType' object is not an instance of 'str'"),
        (lambda g: g.add_op("a", "01"), TypeError, "argument 'inputs': Can't extract `str` to `Vec`"),
        (lambda g: g.add_op("a", {0: 0}), TypeError, "argument 'inputs': 'dict' object is not an instance of 'Sequence'"),
        (lambda g: g.add_op("a", {0}), TypeError, "argument 'inputs': 'set' object is not an instance of 'Sequence'"),
        (lambda g: g.add_op("a", (i for i in [0])), TypeError,
         "argument 'inputs': 'generator' object is not an instance of 'Sequence'"),
        (lambda g: g.add_op("a", 0), TypeError, "argument 'inputs': 'int' object is not an instance of 'Sequence'"),
        (lambda g: g.add_op("a", [0, 0.0]), TypeError, "argument 'inputs': "),
        (lambda g: g.add_exchange(["0"]), TypeError, "argument 'inputs': "),
        (lambda g: g.add_op("a", [-1]), OverflowError, ""),
        (lambda g: g.add_op("a", [2**64]), OverflowError, ""),
        (lambda g: g.add_op("a", [0, 5]), ValueError, "no node with id 5"),
        (lambda g: g.add_op("a", [7, 5]), ValueError, "no node with id 7"),
        (lambda g: g.add_op("a", [2]), ValueError, "no node with id 2"),
        (lambda g: g.add_source("x", [("k", 1)]), TypeError, "params must be a dict or None"),
        (lambda g: g.add_source("x", {"k": [1]}), TypeError, "param values must be int, float, bool, or str"),
        (lambda g: g.add_source("x", {"k": 2**1024}), TypeError, "param values must be int, float, bool, or str"),
        (lambda g: g.add_source("x", {1: 1}), TypeError, "'int' object is not an instance of 'str'"),
        # Checks run in order: name, inputs, params, then the ids.
        (lambda g: g.add_op(1, "01", [1]), TypeError, "argument 'name': "),
        (lambda g: g.add_op("a", "01", [1]), TypeError, "argument 'inputs': "),
        (lambda g: g.add_op("a", [9], [1]), TypeError, "params must be a dict or None"),
        (lambda g: g.add_external([], "01"), TypeError, "argument 'inputs': "),
        (lambda g: g.add_external([], [9]), TypeError, "descriptor must be a PayloadDescriptor or dict"),
        (lambda g: g.add_external(PD, [9], 1), TypeError, "params must be a dict or None"),
        (lambda g: g.add_external(PD, [9]), ValueError, "no node with id 9"),
        (lambda g: g.add_external({**PD, "version": None}, []), TypeError, "'NoneType' object is not an instance of 'str'"),
        (lambda g: g.add_external({"kind": "k", "content_hash": "h", "framework": "f", "io_schema": "s"}, []),
         ValueError, "descriptor missing required field 'version'"),
        (lambda g: g.add_external({"preprocessing_ref": 1}, []), TypeError, "'int' object is not an instance of 'str'"),
        (lambda g: g.add_external({}, []), ValueError, "descriptor missing required field 'kind'"),
        (lambda g: dc.PayloadDescriptor(**{**PD, "framework": b"f"}), TypeError,
         "argument 'framework': 'bytes' object is not an instance of 'str'"),
        (lambda g: dc.PayloadDescriptor(**PD, preprocessing_ref=0), TypeError,
         "argument 'preprocessing_ref': 'int' object is not an instance of 'str'"),
    ],
)
def test_refused_calls_leave_store_unchanged(call, exc, message):
    g = store2()
    before = g.serialize()
    with pytest.raises(exc) as e:
        call(g)
    assert str(e.value).startswith(message)
    if message.endswith(": ") or not message:
        assert str(e.value) != message
    assert g.node_count() == 2 and g.serialize() == before


class Index:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


class Real:
    def __float__(self):
        return 2.5


@pytest.mark.parametrize(
    "value, expected",
    [
        (True, True), (False, False), (2, 2), (-(2**63), -(2**63)), (Index(7), 7),
        (2.0, 2.0), (Real(), 2.5), (2**63, 9223372036854775808.0), (-(2**63) - 1, -9223372036854775809.0),
        ("r", "r"), ("", ""),
    ],
)
def test_param_value_classification(value, expected):
    g = G()
    i = g.add_source("x", {"k": value})
    got = g.nodes()[i]["params"]["k"]
    assert type(got) is type(expected) and got == expected


def test_inputs_accept_any_sequence_in_order():
    g = store2()
    ids = {g.add_op("f", seq) for seq in ([0, 1], (0, 1), range(2), [Index(0), True], b"\x00\x01")}
    assert ids == {2}
    assert g.add_op("f", [0, 0]) != g.add_op("f", [0]) != g.add_op("f", [])


@pytest.mark.parametrize(
    "a, b, same",
    [
        ({"k": 1}, {"k": 1}, True), (None, {}, True), ({"a": 1, "b": 2}, {"b": 2, "a": 1}, True),
        ({"k": 1}, {"k": 1.0}, False), ({"k": 1}, {"k": True}, False), ({"k": 0.0}, {"k": -0.0}, False),
        ({"k": math.nan}, {"k": -math.nan}, True),
    ],
)
def test_params_identity(a, b, same):
    g = G()
    assert (g.add_source("x", a) == g.add_source("x", b)) is same
    assert g.add_source("x") == g.add_source("x", None) == g.add_source("x", {})
