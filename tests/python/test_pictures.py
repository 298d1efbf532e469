"""Pictures of graphs: Graphviz text for every node and edge, rendered by dot."""

import math
import re
import shutil

import pytest

import zarnik as zk


def graph():
    p = zk.Parameter(0.5, 1.5, name='p "quoted"')
    s = zk.Parameter(2.0, name="s")
    shared = zk.sin(p) * s              # used twice below: drawn once
    u = zk.Undefined(hint=[1.0, 2.0], name="u")
    return p, s, shared, (shared - shared.x) / 4 + u


def nodes_of(expression):
    seen, stack = {}, [expression]
    while stack:
        node = stack.pop()
        if node.id not in seen:
            seen[node.id] = node
            stack.extend(node.inputs)
    return seen


def test_every_node_once_and_every_edge():
    p, s, shared, y = graph()
    text = zk.to_dot(y)
    nodes = nodes_of(y)
    declared = re.findall(r"^  n(\d+) \[label=", text, flags=re.MULTILINE)
    assert sorted(map(int, declared)) == sorted(nodes)
    edges = re.findall(r"^  n(\d+) -> n(\d+)", text, flags=re.MULTILINE)
    assert sorted((int(a), int(b)) for a, b in edges) == sorted(
        (i.id, node.id) for node in nodes.values() for i in node.inputs)
    assert f'n{shared.id} [label="#{shared.id} Multiply\\n2 lanes"' in text
    assert '"#%d Parameter p \\"quoted\\"\\n2 lanes"' % p.id in text
    # Operands of Subtract and Divide are numbered; of Add and Multiply not.
    assert re.search(rf"n\d+ -> n{y.inputs[0].inputs[0].id} \[label=\"1\"\]", text)


def test_values_and_gradients_where_asked():
    p, s, shared, y = graph()
    (shared.x * s).backward()
    text = zk.to_dot(shared, values=True, gradients=True)
    assert f"= ({math.sin(0.5) * 2:.6g}, " in text
    assert "grad (" in text
    # A graph that cannot be evaluated shows the values of its leaves.
    partial = zk.to_dot(y, values=True)
    assert "cannot be evaluated" in partial and "= (0.5, 1.5)" in partial and "hint (1, 2)" in partial


@pytest.mark.skipif(shutil.which("dot") is None, reason="Graphviz's dot is not installed")
@pytest.mark.parametrize("suffix, start", [(".svg", b"<?xml"), (".png", b"\x89PNG")])
def test_dot_renders_it(tmp_path, suffix, start):
    *_, y = graph()
    path = tmp_path / f"graph{suffix}"
    zk.draw(y, path, values=True)
    assert path.read_bytes().startswith(start)
    if suffix == ".svg":
        assert path.read_text().count("<g id=\"node") == len(nodes_of(y))


def test_drawing_says_what_it_needs(tmp_path, monkeypatch):
    *_, y = graph()
    with pytest.raises(ValueError, match=r"^draw\(\) writes \.svg, \.png or \.pdf files, not \.gif$"):
        zk.draw(y, tmp_path / "graph.gif")
    monkeypatch.setenv("PATH", str(tmp_path))
    with pytest.raises(RuntimeError, match=r"^draw\(\) needs Graphviz's dot program, which is not installed"):
        zk.draw(y, tmp_path / "graph.svg")
