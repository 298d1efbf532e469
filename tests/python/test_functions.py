"""The module functions Constant, Parameter, Undefined, vec2..vec4, sin and cos."""

import math

import pytest

import _zarnik as zk

CAST_INT = "Unable to cast Python instance of type <class 'str'> to C++ type 'int'"


def test_constant_and_parameter():
    assert zk.Constant(1.5).value == (1.5,)
    assert zk.Constant(1, 2, 3).value == zk.Constant([1, 2, 3]).value == (1.0, 2.0, 3.0)
    w = zk.Parameter(0.5, name="w")
    assert (w.kind, w.dim, w.name, w.value) == ("Parameter", 1, "w", (0.5,))
    assert zk.Parameter(1, 2).name == ""


@pytest.mark.parametrize(
    "call, error, text",
    [
        (lambda: zk.Constant(1.0, name="c"), TypeError, "Constant does not accept keyword arguments"),
        (lambda: zk.Constant(name="c"), TypeError, "Constant does not accept keyword arguments"),
        (lambda: zk.Constant(), ValueError, "Constant expects 1..4 numeric values"),
        (lambda: zk.Parameter(1.0, nme="w"), TypeError, "unknown keyword argument"),
        # Keywords are examined before values.
        (lambda: zk.Parameter("bad", nme="w"), TypeError, "unknown keyword argument"),
        (lambda: zk.Parameter(name="w"), ValueError, "Parameter expects 1..4 numeric values"),
        (lambda: zk.Parameter(math.nan), ValueError, "symbolic value lanes must be finite"),
        (lambda: zk.Undefined(3), TypeError, "Undefined expects keyword arguments: hint=..., dim=..., name=..."),
        (lambda: zk.Undefined(size=2), TypeError, "unknown keyword argument"),
        (lambda: zk.Undefined(dim=2, size=2), TypeError, "unknown keyword argument"),
        (lambda: zk.Undefined(dim=0), ValueError, "symbolic value dimension must be in 1..4"),
        (lambda: zk.Undefined(dim=5), ValueError, "symbolic value dimension must be in 1..4"),
        (lambda: zk.Undefined(hint=[1, 2], dim=3), ValueError, "Undefined hint dimension does not match dim"),
        (lambda: zk.Undefined(hint=[1, 2], dim=9), ValueError, "Undefined hint dimension does not match dim"),
        (lambda: zk.Undefined(hint="ab"), TypeError, "hint must be a numeric sequence of length 1..4"),
        (lambda: zk.Undefined(hint=[]), ValueError, "hint must contain 1..4 values"),
        (lambda: zk.Undefined(hint=math.inf), ValueError, "symbolic value lanes must be finite"),
        (lambda: zk.Undefined(hint=[1, math.nan]), ValueError, "symbolic value lanes must be finite"),
        (lambda: zk.Undefined(dim="a"), RuntimeError, CAST_INT),
        (
            lambda: zk.Undefined(dim=1.5),
            RuntimeError,
            "Unable to cast Python instance of type <class 'float'> to C++ type 'int'",
        ),
        # Values convert as they are found, before unknown keywords are counted.
        (lambda: zk.Undefined(dim="a", size=1), RuntimeError, CAST_INT),
        (lambda: zk.vec2(None, None), TypeError, "vec2 y must be a symbolic value or numeric constant"),
        (lambda: zk.vec3(None, 1, None), TypeError, "vec3 z must be a symbolic value or numeric constant"),
        (lambda: zk.vec4("a", 1, 2, 3), TypeError, "vec4 x must be a symbolic value or numeric constant"),
        (lambda: zk.vec2([1, 2], 3), ValueError, "vec2 expression inputs must be scalar symbolic values"),
        (lambda: zk.vec4(1, 2, 3, (4, 5)), ValueError, "vec4 expression inputs must be scalar symbolic values"),
        (lambda: zk.sin("a"), TypeError, "sin value must be a symbolic value or numeric constant"),
        (lambda: zk.cos(None), TypeError, "cos value must be a symbolic value or numeric constant"),
        (lambda: zk.sin(math.nan), ValueError, "symbolic value lanes must be finite"),
    ],
)
def test_failures(call, error, text):
    with pytest.raises(error) as raised:
        call()
    assert type(raised.value) is error
    assert str(raised.value) == text


@pytest.mark.parametrize(
    "call",
    [
        lambda p: zk.vec2(p, p, p),
        lambda p: zk.vec3(p, p),
        lambda p: zk.sin(),
        lambda p: zk.sin(value=p),
        lambda p: zk.cos(p, p),
        lambda p: zk.vec2(x=p, y=p),
    ],
)
def test_fixed_signatures_refuse_other_calls(call):
    with pytest.raises(TypeError, match=r"incompatible function arguments"):
        call(zk.Parameter(1.0))


@pytest.mark.parametrize(
    "kwargs, dim, hint, name",
    [
        ({}, 1, None, ""),
        ({"dim": 3, "name": "u"}, 3, None, "u"),
        ({"hint": None, "dim": 2}, 2, None, ""),
        ({"hint": 2.5}, 1, (2.5,), ""),
        ({"hint": True}, 1, (1.0,), ""),
        ({"hint": [1, 2]}, 2, (1.0, 2.0), ""),
        ({"hint": [1, 2], "dim": 2, "name": b"n"}, 2, (1.0, 2.0), "n"),
    ],
)
def test_undefined(kwargs, dim, hint, name):
    u = zk.Undefined(**kwargs)
    assert (u.kind, u.dim, u.hint, u.name) == ("Undefined", dim, hint, name)


def test_vectors():
    folded = zk.vec2(1, 2)
    assert folded.is_constant and folded.value == (1.0, 2.0)
    p, q, r = zk.Parameter(1.0), zk.Parameter(2.0), zk.Parameter(3.0)
    pack = zk.vec2(p, 2)
    assert pack.op == "Pack"
    assert pack.inputs[0].id == p.id
    assert pack.inputs[1].is_constant and pack.inputs[1].value == (2.0,)
    assert zk.vec3(p, q, r).eval() == (1.0, 2.0, 3.0)
    assert zk.vec4(p, q, r, 4).eval() == (1.0, 2.0, 3.0, 4.0)
    # The last argument is converted first, so its constant is older.
    x_constant, y_constant, _ = zk.vec3(10, 20, p).inputs
    assert y_constant.id < x_constant.id


def test_sin_and_cos():
    assert zk.sin(0).is_constant and zk.sin(0).value == (0.0,)
    folded = zk.cos([0, 0])
    assert folded.is_constant and folded.value == (1.0, 1.0)
    p = zk.Parameter(0.5, 1.0)
    s = zk.sin(p)
    assert (s.op, s.dim, s.inputs[0].id) == ("Sin", 2, p.id)
    assert zk.cos(p).eval() == (math.cos(0.5), math.cos(1.0))
