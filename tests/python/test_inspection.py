import dagloom_core as dc
import pytest

PD = dict(kind="k", content_hash="h", framework="f", version="v", io_schema="s")


def test_empty_store():
    g = dc.GraphStore()
    assert (g.nodes(), g.outputs(), g.node_count(), g.to_dot()) == ([], [], 0, "digraph dagloom {\n}\n")


def test_node_dicts_and_key_order():
    g = dc.GraphStore()
    g.add_source("a")
    g.add_op("add", [0, 0], {"k": 1})
    e = g.add_external(dc.PayloadDescriptor(**PD), [1], {"p": "q"})
    x = g.add_exchange([e], {"scheme": "hash", "n": 4})
    nodes = g.nodes()
    assert nodes[1] == {"id": 1, "output": False, "inputs": [0, 0], "kind": "op", "name": "add", "params": {"k": 1}}
    assert list(nodes[1]) == ["id", "output", "inputs", "kind", "name", "params"]
    assert nodes[0] == {"id": 0, "output": False, "inputs": [], "kind": "source", "name": "a", "params": {}}
    assert list(nodes[e]) == ["id", "output", "inputs", "kind", "name", "params", "descriptor"]
    assert nodes[e]["kind"] == "external" and nodes[e]["name"] == ""
    assert list(nodes[e]["descriptor"].items()) == [*PD.items(), ("preprocessing_ref", None)]
    assert nodes[x] == {"id": x, "output": False, "inputs": [e], "kind": "exchange", "name": "",
                        "params": {"n": 4, "scheme": "hash"}}
    assert list(nodes[x]["params"]) == ["n", "scheme"]
    # The view is a copy: changing it changes nothing.
    nodes[1]["inputs"].append(9)
    assert g.nodes()[1]["inputs"] == [0, 0]


@pytest.mark.parametrize("pre", [None, "", "ref"])
def test_descriptor_instance_and_dict_are_one_node(pre):
    g = dc.GraphStore()
    s = g.add_source("s")
    inst = g.add_external(dc.PayloadDescriptor(**PD, preprocessing_ref=pre), [s])
    assert g.add_external({**PD, "preprocessing_ref": pre, "extra": 1}, [s]) == inst
    assert g.add_external({**PD, "io_schema": "other", "preprocessing_ref": pre}, [s]) != inst
    assert g.nodes()[inst]["descriptor"]["preprocessing_ref"] == pre
    others = {None: "", "": None, "ref": None}
    assert g.add_external({**PD, "preprocessing_ref": others[pre]}, [s]) != inst


def test_exchange_identity():
    g = dc.GraphStore()
    for i in range(4):
        g.add_source(str(i))
    a = g.add_exchange([3], {"k": 1})
    assert g.add_exchange([3], {"k": 1}) == a
    assert g.add_exchange([3], {"k": 2}) != a
    assert g.add_exchange([]) == g.add_exchange([], None) != a


@pytest.mark.parametrize(
    "name", ["", "a|b", "a;b=c", "100%", 'say "hi"', "back\\slash", "ünï"],
)
def test_names_are_kept_verbatim(name):
    g = dc.GraphStore()
    i = g.add_source(name)
    assert g.nodes()[i]["name"] == name
    label = name.replace("\\", "\\\\").replace('"', '\\"')
    assert f'  n0 [label="Source {label}"];\n' in g.to_dot()


def test_dot_of_small_graph_with_output():
    g = dc.GraphStore()
    g.add_source("x")
    g.add_op("neg", [0])
    g.add_op("add", [0, 1])
    marked = dc.GraphStore.deserialize(g.serialize(outputs=[2, 2]))
    assert marked.outputs() == [2]
    assert marked.to_dot() == (
        'digraph dagloom {\n  n0 [label="Source x"];\n  n1 [label="Op neg"];\n'
        '  n2 [label="Op add", shape=doublecircle];\n  n0 -> n1;\n  n0 -> n2;\n  n1 -> n2;\n}\n'
    )
    assert [n["output"] for n in marked.nodes()] == [False, False, True]
