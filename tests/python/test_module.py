import inspect
import sys
import sysconfig

import dagloom_core as dc
import pytest
from conftest import raises_panic

GS_METHODS = [
    ("add_source", "(self, /, name, params=None)"),
    ("add_op", "(self, /, name, inputs, params=None)"),
    ("add_reduction", "(self, /, name, inputs, params=None)"),
    ("add_external", "(self, /, descriptor, inputs, params=None)"),
    ("add_exchange", "(self, /, inputs, params=None)"),
    ("node_count", "(self, /)"),
    ("to_dot", "(self, /)"),
    ("serialize", "(self, /, outputs=None)"),
    ("deserialize", "(data)"),
    ("nodes", "(self, /)"),
    ("outputs", "(self, /)"),
    ("reduce", "(self, /, *, maximal_fusion=False, outputs=None)"),
    ("reduce_incremental", "(self, /, *, outputs=None)"),
    ("reduction_report", "(self, /, *, outputs=None)"),
    ("reduce_traced", "(self, /, *, maximal_fusion=False, outputs=None)"),
]
CONSTRUCTORS = [
    (dc.GraphStore, "()"),
    (dc.IncrementalReducer, "()"),
    (dc.PayloadDescriptor, "(*, kind, content_hash, framework, version, io_schema, preprocessing_ref=None)"),
    (dc.version, "()"),
]
IR_METHODS = [
    ("step", "(self, /, store)"),
    ("finalize", "(self, /, store, *, maximal_fusion=False, outputs=None)"),
    ("watermark", "(self, /)"),
    ("total_work", "(self, /)"),
    ("canonical_count", "(self, /)"),
    ("finalize_traced", "(self, /, store, *, maximal_fusion=False, outputs=None)"),
]


def test_version_and_exports():
    assert dc.version() == "0.0.1"
    assert dc.__doc__ == ""
    public = [k for k in vars(dc) if not k.startswith("__")]
    assert public == ["GraphStore", "PayloadDescriptor", "IncrementalReducer", "version", "Origins"]


@pytest.mark.parametrize(
    "cls, methods", [(dc.GraphStore, GS_METHODS), (dc.IncrementalReducer, IR_METHODS)], ids=["store", "reducer"]
)
def test_methods_in_order_with_signatures(cls, methods):
    defined = [k for k in vars(cls) if not k.startswith("__")]
    assert defined == [name for name, _ in methods]
    for name, sig in methods:
        assert str(inspect.signature(getattr(cls, name))) == sig, name
    for obj, sig in CONSTRUCTORS:
        assert str(inspect.signature(obj)) == sig


@pytest.mark.parametrize(
    "obj, doc",
    [
        (dc.GraphStore, "Thread-safe interned graph store (frozen class: interior mutability via a Mutex, safe to\n"
         "share across threads under the GIL and free-threaded 3.14t)."),
        (dc.GraphStore.add_exchange, "Record an `Exchange` boundary (plan M39 §2.1). No `name` — an Exchange's "
         "identity is its\n`scheme` ParamMap (`params`) + its one logical input; "
         "`nodes()[i][\"kind\"] == \"exchange\"`."),
        (dc.GraphStore.add_op, None),
        (dc.PayloadDescriptor, "Reproducibility metadata an External node carries (participates in the structural hash)."),
        (dc.version, None),
    ],
)
def test_docstrings(obj, doc):
    assert obj.__doc__ == doc


def test_payload_descriptor_properties_are_read_only():
    d = dc.PayloadDescriptor(kind="k", content_hash="h", framework="f", version="v", io_schema="s")
    props = [k for k, v in vars(dc.PayloadDescriptor).items() if isinstance(v, type(dc.PayloadDescriptor.kind))]
    assert props == ["kind", "content_hash", "framework", "version", "io_schema", "preprocessing_ref"]
    assert all(getattr(dc.PayloadDescriptor, p).__doc__ == "" for p in props)
    assert (d.kind, d.content_hash, d.framework, d.version, d.io_schema, d.preprocessing_ref) == (
        "k", "h", "f", "v", "s", None)
    for obj, attr in ((d, "kind"), (d, "preprocessing_ref"), (d, "other"), (dc.GraphStore(), "x"),
                      (dc.IncrementalReducer(), "x")):
        with pytest.raises(AttributeError):
            setattr(obj, attr, "x")


class Mutator:
    """A param value whose conversion (through __index__) changes the dict being read."""

    def __init__(self, d, change):
        self.d, self.change = d, change

    def __index__(self):
        self.change(self.d)
        return 1


@pytest.mark.parametrize(
    "build, message",
    [
        # The mutator is read last, then a new key appears.
        (lambda d: d.update(a=0, b=Mutator(d, lambda d: d.update(zz=0))), "dictionary changed size during iteration"),
        # Same size, but a key already read is swapped for a new one.
        (lambda d: d.update(a=Mutator(d, lambda d: (d.pop("a"), d.update(c=0))), b=0),
         "dictionary keys changed during iteration"),
    ],
)
def test_dict_mutated_while_read_is_a_panic(build, message):
    params = {}
    build(params)
    e = raises_panic(dc.GraphStore().add_source, "x", params)
    assert str(e) == message
    assert not isinstance(e, Exception) and not hasattr(dc, "PanicException")


@pytest.mark.skipif(not sysconfig.get_config_var("Py_GIL_DISABLED"), reason="not a free-threaded build")
def test_import_keeps_gil_disabled():
    assert not sys._is_gil_enabled()
