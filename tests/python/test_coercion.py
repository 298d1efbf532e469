"""How arguments become lane vectors, operands and names."""

import decimal
import fractions
import math

import pytest

import _zarnik as zk

NAN = float("nan")


def cast_error(python_type, cpp_type="double"):
    return f"Unable to cast Python instance of type {python_type} to C++ type '{cpp_type}'"


class OnlyIndex:
    def __index__(self):
        return 7


class OnlyFloat:
    def __float__(self):
        return 2.5


class LengthFails:
    def __getitem__(self, index):
        return 1.0

    def __len__(self):
        raise KeyError("no length here")


class ItemFails:
    def __getitem__(self, index):
        raise LookupError(f"no item {index}")

    def __len__(self):
        return 2


@pytest.mark.parametrize(
    "args, lanes",
    [
        ((1, 2), (1.0, 2.0)),
        (([1, 2],), (1.0, 2.0)),
        (((1, 2),), (1.0, 2.0)),
        ((range(3),), (0.0, 1.0, 2.0)),
        ((bytearray(b"\x01\x02"),), (1.0, 2.0)),
        ((True,), (1.0,)),
        ((OnlyIndex(),), (7.0,)),
        ((OnlyFloat(), 1), (2.5, 1.0)),
        ((-0.0, 1e308, 5e-324, -1), (-0.0, 1e308, 5e-324, -1.0)),
    ],
)
def test_numbers_and_numeric_sequences_become_lanes(args, lanes):
    for make in (zk.Constant, zk.Parameter):
        value = make(*args).value
        assert value == lanes
        assert all(type(lane) is float for lane in value)


@pytest.mark.parametrize(
    "args, error, text",
    [
        ((), ValueError, "Constant expects 1..4 numeric values"),
        ((1, 2, 3, 4, 5), ValueError, "Constant expects 1..4 numeric values"),
        (([],), ValueError, "Constant must contain 1..4 values"),
        (((1, 2, 3, 4, 5),), ValueError, "Constant must contain 1..4 values"),
        (("1.5",), RuntimeError, cast_error("<class 'str'>")),
        ((b"ab",), RuntimeError, cast_error("<class 'bytes'>")),
        (([[1, 2]],), RuntimeError, cast_error("<class 'list'>")),
        (([1.0], 2.0), RuntimeError, cast_error("<class 'list'>")),
        ((None,), RuntimeError, cast_error("<class 'NoneType'>")),
        ((decimal.Decimal(1), "x"), RuntimeError, cast_error("<class 'str'>")),
        ((10**400,), RuntimeError, cast_error("<class 'int'>")),
        (([NAN, 1],), ValueError, "symbolic value lanes must be finite"),
        ((1.0, math.inf), ValueError, "symbolic value lanes must be finite"),
        # Every item converts before any lane is checked.
        (([NAN, "a"],), RuntimeError, cast_error("<class 'str'>")),
    ],
)
def test_bad_values_are_refused_with_the_label(args, error, text):
    with pytest.raises(error) as raised:
        zk.Constant(*args)
    assert str(raised.value) == text
    with pytest.raises(error) as raised:
        zk.Parameter(*args)
    assert str(raised.value) == text.replace("Constant", "Parameter")


def test_an_expression_is_never_read_as_numbers():
    p = zk.Parameter(1.0, 2.0)
    for call in (lambda: zk.Constant(p), lambda: zk.Parameter(p), lambda: p.set_value(p)):
        with pytest.raises(TypeError, match=r"^object of type '_zarnik.Expression' has no len\(\)$"):
            call()


@pytest.mark.parametrize(
    "sequence, error, text",
    [
        (LengthFails(), KeyError, "'no length here'"),
        (ItemFails(), LookupError, "no item 0"),
    ],
)
def test_failing_host_queries_propagate_unchanged(sequence, error, text):
    with pytest.raises(error) as raised:
        zk.Constant(sequence)
    assert type(raised.value) is error
    assert str(raised.value) == text


def test_operands_become_constants_unless_they_are_expressions():
    x = zk.Parameter(1.0)
    other = zk.Parameter(2.0)
    assert [i.id for i in (x + other).inputs] == [x.id, other.id]
    number = (x + 2).inputs[1]
    assert number.is_constant and number.value == (2.0,)
    pair = (x + (1, 2)).inputs[1]
    assert pair.is_constant and pair.value == (1.0, 2.0)
    # The same number twice is two constants.
    assert (x + 2).inputs[1].id != (x + 2).inputs[1].id


@pytest.mark.parametrize("operand", [None, "a", {}, decimal.Decimal(1), fractions.Fraction(1, 2), 1j, object()])
def test_unusable_operands_are_type_errors_naming_the_side(operand):
    x = zk.Parameter(1.0)
    with pytest.raises(TypeError, match=r"^right operand must be a symbolic value or numeric constant$"):
        x + operand
    with pytest.raises(TypeError, match=r"^left operand must be a symbolic value or numeric constant$"):
        operand * x


def test_a_number_too_large_for_a_double_is_a_cast_error():
    with pytest.raises(RuntimeError) as raised:
        zk.Parameter(1.0) + 10**400
    assert str(raised.value) == cast_error("<class 'int'>")


@pytest.mark.parametrize(
    "kwargs, name",
    [
        ({}, ""),
        ({"name": "w"}, "w"),
        ({"name": ""}, ""),
        ({"name": b"raw"}, "raw"),
        ({"name": bytearray(b"ba")}, "ba"),
        ({"name": "ünï"}, "ünï"),
    ],
)
def test_the_name_keyword(kwargs, name):
    assert zk.Parameter(0.5, **kwargs).name == name


@pytest.mark.parametrize(
    "kwargs, error, text",
    [
        ({"name": "w", "dim": 1}, TypeError, "unknown keyword argument"),
        ({"dim": 1}, TypeError, "unknown keyword argument"),
        ({"nme": "w"}, TypeError, "unknown keyword argument"),
        ({"name": None}, RuntimeError, None),
        # The name's value converts before the other keys are looked at.
        ({"name": 3, "dim": 1}, RuntimeError, None),
    ],
)
def test_bad_keywords(kwargs, error, text):
    with pytest.raises(error) as raised:
        zk.Parameter(1.0, **kwargs)
    if text is None:
        assert str(raised.value).startswith("Unable to cast Python instance of type ")
        assert "to C++ type 'std::" in str(raised.value)
    else:
        assert str(raised.value) == text


def test_results_are_tuples_of_floats_or_none():
    v = zk.Parameter(1, 2, 3)
    assert v.value == (1.0, 2.0, 3.0)
    assert v.grad is None
    assert v.hint is None
    assert zk.Undefined(hint=[1, 2]).hint == (1.0, 2.0)
