"""Pictures of graphs: Graphviz text for every node and edge, rendered by dot."""

import math
import re
import shutil

import pytest

import zarnik as zk


def graph():
    p = zk.Parameter(0.5, 1.5, name='p "quoted"')
    s = zk.Parameter(2.0, name="s")
    shared = zk.sin(p) * s  # used twice below: drawn once
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
        (i.id, node.id) for node in nodes.values() for i in node.inputs
    )
    assert f'n{shared.id} [label="#{shared.id} Multiply\\n2 lanes"' in text
    assert f'"#{p.id} Parameter p \\"quoted\\"\\n2 lanes"' in text
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
        assert path.read_text().count('<g id="node') == len(nodes_of(y))


def test_drawing_says_what_it_needs(tmp_path, monkeypatch):
    *_, y = graph()
    with pytest.raises(ValueError, match=r"^draw\(\) writes \.svg, \.png or \.pdf files, not \.gif$"):
        zk.draw(y, tmp_path / "graph.gif")
    monkeypatch.setenv("PATH", str(tmp_path))
    with pytest.raises(RuntimeError, match=r"^draw\(\) needs Graphviz's dot program, which is not installed"):
        zk.draw(y, tmp_path / "graph.svg")


def test_what_to_dot_and_draw_refuse(tmp_path):
    x = zk.Undefined(name="x")
    tape = zk.compile(zk.Parameter(1.0) * 2)
    f = zk.function(x, x * 2)
    cases = [
        (lambda: zk.to_dot(None), "to_dot() takes an Expression, not NoneType"),
        (lambda: zk.to_dot(x, name=3), "to_dot() takes a str as the graph's name, not int"),
        (lambda: zk.to_dot(tape), "to_dot() takes an Expression, not a Tape: pass tape.output"),
        (lambda: zk.draw(tape, tmp_path / "tape.svg"), "draw() takes an Expression, not a Tape: pass tape.output"),
        (
            lambda: zk.draw(f, tmp_path / "f.svg"),
            "draw() takes an Expression, not a Function: pass one of function.outputs",
        ),
    ]
    for call, text in cases:
        with pytest.raises(TypeError) as raised:
            call()
        assert str(raised.value) == text
    assert list(tmp_path.iterdir()) == []


def test_the_options_are_positional_or_keyword():
    p = zk.Parameter(2.0, name="p")
    y = zk.sin(p) * p
    y.backward()
    assert zk.to_dot(y, True, True, "g") == zk.to_dot(y, values=True, gradients=True, name="g")
    assert "grad (" in zk.to_dot(y, False, True)


def edge_labels(text):
    return {
        (int(a), int(b)): label
        for a, b, label in re.findall(r'^  n(\d+) -> n(\d+)(?: \[label="(\d+)"\])?;$', text, flags=re.MULTILINE)
    }


def test_operands_are_numbered_from_zero_where_their_order_matters():
    a, b, c = (zk.Parameter(float(v), name=n) for v, n in ((1, "a"), (2, "b"), (3, "c")))
    for y, numbered in [(a - b, True), (a / b, True), (zk.vec3(a, b, c), True), (a + b, False), (a * b, False)]:
        expected = {(operand.id, y.id): str(index) if numbered else "" for index, operand in enumerate(y.inputs)}
        assert edge_labels(zk.to_dot(y)) == expected, y.op


needs_dot = pytest.mark.skipif(shutil.which("dot") is None, reason="Graphviz's dot is not installed")


@needs_dot
def test_a_path_is_never_read_as_an_option(tmp_path, monkeypatch):
    y = zk.sin(zk.Parameter(1.0, name="p"))
    monkeypatch.chdir(tmp_path)
    for name in ("-g.svg", "-o.png", "-Tpng.svg", "--.svg"):
        zk.draw(y, name)
        assert (tmp_path / name).read_bytes().startswith(b"\x89PNG" if name.endswith(".png") else b"<?xml"), name


# Names that DOT or XML cannot carry as they are: control characters, NUL, a
# character XML does not allow, character references, DOT's own escapes and a
# name far longer than a DOT string may be.
AWKWARD_NAMES = [
    "tab\there",
    "v\vf\f",
    "nul\x00",
    "esc\x1b[31m",
    "del\x7f",
    "c1\x85",
    "bad\ufffe\uffff",
    "&#11;",
    "&amp;#0;",
    "a&b",
    "\\N\\G\\l",
    'q"uote',
    "new\nline",
    "x" * 20_000,
]


def test_awkward_names_leave_no_raw_control_character_in_the_text():
    nodes = [zk.Parameter(float(i), name=name) for i, name in enumerate(AWKWARD_NAMES)]
    total = nodes[0]
    for node in nodes[1:]:
        total = total + node
    text = zk.to_dot(total, name="graph\x0b\x00" + "y" * 20_000)
    # Line breaks separate statements; nothing else below a space, no DEL, no C1 control, no XML non-character.
    assert not re.search("[\x00-\x09\x0b-\x1f\x7f-\x9f\ufffe\uffff]", text)
    assert "&#" not in text and max(map(len, text.splitlines())) < 1_000
    # What the characters were can still be read.
    for shown in (r"v\\x0bf\\x0c", r"nul\\x00", r"esc\\x1b[31m", r"tab\\x09here", r"new\\x0aline", "a&amp;b"):
        assert shown in text, shown
    assert "20000 characters" in text


@needs_dot
def test_awkward_names_draw_well_formed_svg(tmp_path):
    import xml.dom.minidom

    nodes = [zk.Parameter(float(i), name=name) for i, name in enumerate(AWKWARD_NAMES)]
    total = nodes[0]
    for node in nodes[1:]:
        total = total + node
    path = tmp_path / "names.svg"
    zk.draw(total, path)
    document = xml.dom.minidom.parse(str(path))
    shown = " ".join(text.firstChild.data for text in document.getElementsByTagName("text") if text.firstChild)
    for visible in ("v\\x0bf\\x0c", "&#11;", "&amp;#0;", "a&b", "\\N\\G\\l", 'q"uote', "nul\\x00"):
        assert visible in shown, visible
