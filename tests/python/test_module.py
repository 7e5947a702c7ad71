import inspect
import sys
import sysconfig

import dagloom_core as dc
import pytest

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
]
IR_METHODS = [
    ("step", "(self, /, store)"),
    ("finalize", "(self, /, store, *, maximal_fusion=False, outputs=None)"),
    ("watermark", "(self, /)"),
    ("total_work", "(self, /)"),
    ("canonical_count", "(self, /)"),
]


def test_version_and_exports():
    assert dc.version() == "0.0.1"
    assert dc.__doc__ == ""
    public = [k for k in vars(dc) if not k.startswith("__")]
    assert public == ["GraphStore", "PayloadDescriptor", "IncrementalReducer", "version"]


@pytest.mark.parametrize(
    "cls, methods", [(dc.GraphStore, GS_METHODS), (dc.IncrementalReducer, IR_METHODS)], ids=["store", "reducer"]
)
def test_methods_in_order_with_signatures(cls, methods):
    defined = [k for k in vars(cls) if not k.startswith("__")]
    assert defined == [name for name, _ in methods]
    for name, sig in methods:
        assert str(inspect.signature(getattr(cls, name))) == sig, name


@pytest.mark.parametrize(
    "obj, sig",
    [
        (dc.GraphStore, "()"),
        (dc.IncrementalReducer, "()"),
        (dc.PayloadDescriptor, "(*, kind, content_hash, framework, version, io_schema, preprocessing_ref=None)"),
        (dc.version, "()"),
    ],
)
def test_constructor_signatures(obj, sig):
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
        (dc.GraphStore.node_count, None),
        (dc.GraphStore.reduction_report,
         "The reduction report for the current graph, without keeping the reduced store."),
        (dc.IncrementalReducer.canonical_count, "Size of the maintained canonical form."),
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
    for attr in ("kind", "preprocessing_ref", "other"):
        with pytest.raises(AttributeError):
            setattr(d, attr, "x")


@pytest.mark.parametrize("cls", [dc.GraphStore, dc.IncrementalReducer])
def test_objects_have_no_instance_attributes(cls):
    with pytest.raises(AttributeError):
        cls().anything = 1


def test_panic_exception_is_base_exception_not_exported():
    from conftest import raises_panic

    class Grow:
        def __init__(self, d):
            self.d = d

        def __index__(self):
            self.d["zz"] = 0
            return 1

    d = {"a": 0}
    d["b"] = Grow(d)
    e = raises_panic(dc.GraphStore().add_source, "x", d)
    assert str(e) == "dictionary changed size during iteration"
    assert not hasattr(dc, "PanicException")


def test_panic_on_keys_changed_during_iteration():
    from conftest import raises_panic

    class Swap:
        def __init__(self, d):
            self.d = d

        def __index__(self):
            self.d.pop("a")
            self.d["c"] = 0
            return 1

    d = {}
    d["a"] = Swap(d)
    d["b"] = 0
    assert str(raises_panic(dc.GraphStore().add_source, "x", d)) == "dictionary keys changed during iteration"


@pytest.mark.skipif(not sysconfig.get_config_var("Py_GIL_DISABLED"), reason="not a free-threaded build")
def test_import_keeps_gil_disabled():
    assert not sys._is_gil_enabled()
