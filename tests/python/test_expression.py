"""The Expression class: properties, operators, evaluation and gradients."""

import subprocess
import sys

import pytest

import _zarnik as zk


def test_properties_of_a_leaf_and_an_expression():
    p = zk.Parameter(1.0, 2.0, name="p")
    q = zk.Parameter(3.0, 4.0, name="q")
    assert (p.dim, p.dimension, p.kind, p.op, p.name) == (2, 2, "Parameter", "None", "p")
    assert (p.is_parameter, p.is_constant, p.is_undefined, p.is_expression, p.is_leaf) == (
        True,
        False,
        False,
        False,
        True,
    )
    assert p.inputs == ()
    total = p + q
    assert (total.kind, total.op, total.name, total.is_leaf, total.is_expression) == (
        "Expression",
        "Add",
        "",
        False,
        True,
    )
    assert [i.id for i in total.inputs] == [p.id, q.id]
    assert all(type(i) is zk.Expression for i in total.inputs)
    # Every read wraps the node in a new object.
    assert total.inputs[0] is not total.inputs[0]
    assert isinstance(p.id, int) and p.id < q.id < total.id


def test_members_are_registered_in_order():
    members = [
        name
        for name in vars(zk.Expression)
        if not name.startswith("_")
        or name
        in (
            "__getitem__",
            "__repr__",
            "__add__",
            "__radd__",
            "__sub__",
            "__rsub__",
            "__mul__",
            "__rmul__",
            "__truediv__",
            "__rtruediv__",
            "__neg__",
        )
    ]
    assert members == [
        "id",
        "kind",
        "op",
        "dim",
        "dimension",
        "name",
        "is_constant",
        "is_parameter",
        "is_undefined",
        "is_expression",
        "is_leaf",
        "value",
        "hint",
        "grad",
        "inputs",
        "x",
        "y",
        "z",
        "w",
        "__getitem__",
        "eval",
        "set_value",
        "backward",
        "zero_grad",
        "__repr__",
        "__add__",
        "__radd__",
        "__sub__",
        "__rsub__",
        "__mul__",
        "__rmul__",
        "__truediv__",
        "__rtruediv__",
        "__neg__",
    ]
    # __init__ is the binding library's own slot that refuses construction (tested below).
    for absent in (
        "__eq__",
        "__hash__",
        "__bool__",
        "__len__",
        "__iter__",
        "__contains__",
        "__pow__",
        "__floordiv__",
        "__pos__",
        "__abs__",
        "__dict__",
    ):
        assert absent not in vars(zk.Expression)


def test_the_class_has_no_constructor_and_no_instance_dictionary():
    with pytest.raises(TypeError, match=r"^_zarnik\.Expression: No constructor defined!$"):
        zk.Expression()
    e = zk.Constant(1.0)
    with pytest.raises(AttributeError):
        e.foo = 1
    with pytest.raises(AttributeError):
        e.value = (2.0,)
    # Identity semantics from the host: equal nodes are not equal objects.
    assert e != zk.Constant(1.0)
    assert {e: 1}[e] == 1


@pytest.mark.parametrize(
    "build, op, inputs",
    [
        (lambda x: x + 1, "Add", ("x", 1.0)),
        (lambda x: 1 + x, "Add", (1.0, "x")),
        (lambda x: x - 1, "Subtract", ("x", 1.0)),
        (lambda x: 1 - x, "Subtract", (1.0, "x")),
        (lambda x: x * 2, "Multiply", ("x", 2.0)),
        (lambda x: 2 * x, "Multiply", (2.0, "x")),
        (lambda x: x / 2, "Divide", ("x", 2.0)),
        (lambda x: 2 / x, "Divide", (2.0, "x")),
        (lambda x: [1, 2] * x, "Multiply", ((1.0, 2.0), "x")),
    ],
)
def test_operators_keep_the_host_operand_order(build, op, inputs):
    x = zk.Parameter(3.0)
    node = build(x)
    assert node.op == op
    for actual, expected in zip(node.inputs, inputs):
        if expected == "x":
            assert actual.id == x.id
        else:
            assert actual.is_constant
            assert actual.value == (expected if isinstance(expected, tuple) else (expected,))


def test_negation_and_folding():
    x = zk.Parameter(3.0, -1.0)
    assert (-x).op == "Negate"
    assert (-x).eval() == (-3.0, 1.0)
    c = zk.Constant(2.0)
    folded = c + 1
    assert folded.is_constant and folded.value == (3.0,)
    assert (-zk.Constant(0.0)).value == (-0.0,)


def test_dimensions_combine_by_the_broadcasting_rule():
    one = zk.Parameter(1.0)
    three = zk.Parameter(1.0, 2.0, 3.0)
    assert (one + (1, 2)).dim == 2
    with pytest.raises(ValueError, match=r"^cannot combine symbolic values with dimensions 3 and 2$"):
        three + (1, 2)
    with pytest.raises(ValueError, match=r"^cannot combine symbolic values with dimensions 2 and 3$"):
        (1, 2) + three


def test_components_and_indexing():
    v = zk.Parameter(5.0, 6.0)
    assert v.x.op == "Component" and v.x.eval() == (5.0,)
    assert v[1].eval() == (6.0,)
    assert [lane.eval() for lane in v] == [(5.0,), (6.0,)]
    assert len(list(v)) == 2
    s = zk.Parameter(1.0)
    assert s.x.id == s.id
    packed = zk.vec2(s, zk.Parameter(2.0))
    assert packed.x.id == s.id
    assert zk.Constant(1, 2, 3).y.value == (2.0,)
    for read in (lambda: v.z, lambda: v.w, lambda: v[2], lambda: v[-1]):
        with pytest.raises(IndexError, match=r"^symbolic component index out of range$"):
            read()
    for index in (1.0, "a", 2**40, None):
        with pytest.raises(TypeError, match=r"^__getitem__\(\): incompatible function arguments"):
            v[index]
    assert v[True].eval() == (6.0,)


def test_value_and_set_value():
    p = zk.Parameter(1.0, 2.0)
    assert p.value == (1.0, 2.0)
    p.set_value(3, 4)
    assert p.value == (3.0, 4.0)
    p.set_value([5, 6])
    assert p.value == (5.0, 6.0)
    p.set_value((7, 8))
    assert (p + p).eval() == (14.0, 16.0)
    with pytest.raises(RuntimeError, match=r"^symbolic value has no direct numeric value$"):
        _ = (p + p).value
    with pytest.raises(RuntimeError, match=r"^symbolic value has no direct numeric value$"):
        _ = zk.Undefined().value


@pytest.mark.parametrize(
    "target, args, kwargs, error, text",
    [
        ("constant", (2.0,), {}, RuntimeError, "set_value() is only valid for Parameter values"),
        ("pair", (1, 2, 3), {}, ValueError, "set_value() dimension does not match Parameter dimension"),
        ("pair", (), {}, ValueError, "set_value expects 1..4 numeric values"),
        ("pair", (1, 2, 3, 4, 5), {}, ValueError, "set_value expects 1..4 numeric values"),
        ("pair", ([],), {}, ValueError, "set_value must contain 1..4 values"),
        (
            "pair",
            ("ab",),
            {},
            RuntimeError,
            "Unable to cast Python instance of type <class 'str'> to C++ type 'double'",
        ),
        ("pair", (float("nan"), 1), {}, ValueError, "symbolic value lanes must be finite"),
        ("pair", (1, 2), {"x": 1}, TypeError, None),
    ],
)
def test_set_value_failures_change_nothing(target, args, kwargs, error, text):
    nodes = {"constant": zk.Constant(1.0), "pair": zk.Parameter(1.0, 2.0)}
    node = nodes[target]
    before = node.value
    with pytest.raises(error) as raised:
        node.set_value(*args, **kwargs)
    if text is None:
        assert str(raised.value).startswith("set_value(): incompatible function arguments")
    else:
        assert str(raised.value) == text
    assert node.value == before


def test_backward_seed_forms():
    p = zk.Parameter(2.0)
    y = p * p
    y.backward()
    y.backward(1.0)
    y.backward(True)
    y.backward([1.0])
    y.backward(seed=[2.0])
    assert p.grad == (4.0 * 6,)
    y.zero_grad()
    assert p.grad is None
    with pytest.raises(TypeError, match=r"^backward seed must be a numeric sequence of length 1\.\.4$"):
        y.backward("1")
    with pytest.raises(ValueError, match=r"^backward seed must contain 1\.\.4 values$"):
        y.backward([])
    with pytest.raises(ValueError, match=r"^backward seed dimension does not match output dimension$"):
        y.backward([1.0, 1.0])
    v = zk.Parameter(1.0, 2.0)
    with pytest.raises(ValueError, match=r"^backward\(\) without seed requires scalar output$"):
        v.backward()
    (v * v).backward((1, 0))
    assert v.grad == (2.0, 0.0)
    assert p.grad is None


def test_evaluation_failures():
    u = zk.Undefined(hint=1.0)
    p = zk.Parameter(1.0)
    for call in ((p + u).eval, (p + u).backward):
        with pytest.raises(RuntimeError, match=r"^cannot evaluate symbolic graph with Undefined values$"):
            call()
    zero = zk.Parameter(0.0)
    with pytest.raises(ValueError, match=r"^symbolic value lanes must be finite$"):
        (p / zero).eval()
    p.backward()
    with pytest.raises(ValueError, match=r"^symbolic value lanes must be finite$"):
        (p / zero).backward()
    assert p.grad == (1.0,)
    (p + u).zero_grad()
    assert p.grad is None


def test_repr():
    c = zk.Constant(1.0)
    assert repr(c) == f"Constant<1>#{c.id}"
    p = zk.Parameter(1.0, 2.0, name="x")
    assert repr(p) == f"Parameter<2>#{p.id}(x)"
    assert repr(p + p) == f"Expression<2>#{p.id + 1} op=Add"


@pytest.mark.parametrize(
    "make",
    [
        lambda name: zk.Parameter(1.0, name=name),
        lambda name: zk.Undefined(dim=2, name=name),
        lambda name: zk.Undefined(hint=[1, 2], name=name),
    ],
)
def test_names_that_are_not_utf8_are_refused_before_a_node_is_made(make):
    for bad in (b"\xff", bytearray(b"ok\xc3"), b"\xed\xa0\x80"):
        before = zk.Constant(0.0).id
        with pytest.raises(ValueError, match=r"^name must be valid UTF-8 text$"):
            make(bad)
        assert zk.Constant(0.0).id == before + 1, "a refused name took an id"
    # Names that were valid stay valid, whatever their type.
    assert make(b"\xc3\xbc").name == "\u00fc"
    assert make("\u00fcn\u00ef").name == "\u00fcn\u00ef"
    assert repr(make(bytearray(b"w"))).endswith("(w)")


# Every way of making an Expression that holds no node, and every use of one
# should it come into being. In a process of its own: on failure the use crashes.
UNINITIALISED = r"""
import copy, pickle
import _zarnik as zk

E = zk.Expression
class Sub(E):
    pass

routes = {
    "Expression.__new__": lambda: E.__new__(E),
    "the base class's __new__": lambda: E.__mro__[1].__new__(E),
    "object.__new__": lambda: object.__new__(E),
    "a subclass": lambda: Sub(),
    "the subclass's __new__": lambda: Sub.__new__(Sub),
    "copy": lambda: copy.copy(zk.Parameter(1.0)),
    "pickle": lambda: pickle.loads(pickle.dumps(zk.Parameter(1.0))),
}
p = zk.Parameter(1.0, 2.0)
for route, make in routes.items():
    try:
        e = make()
    except TypeError as error:
        print(f"{route}: TypeError: {error}")
        continue
    uses = [lambda: p + e, lambda: e * 2, lambda: -e, lambda: zk.sin(e), lambda: zk.cos(e),
            lambda: zk.vec2(e, 1), lambda: zk.vec3(1, e, 2), lambda: zk.vec4(1, 2, 3, e),
            lambda: e.eval(), lambda: e.backward(), lambda: e.zero_grad(), lambda: e.set_value(1.0),
            lambda: e.id, lambda: e.name, lambda: e.inputs, lambda: e.x, lambda: e[0], lambda: repr(e)]
    for index, use in enumerate(uses):
        try:
            use()
        except TypeError:
            continue
        print(f"{route}: use {index} did not raise TypeError")
"""


def test_no_expression_without_a_node_comes_into_being():
    result = subprocess.run([sys.executable, "-c", UNINITIALISED], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert len(lines) == 7, result.stdout
    for line in lines:
        assert ": TypeError: " in line, line
    assert "Expression.__new__: TypeError: _zarnik.Expression: No constructor defined!" in lines
