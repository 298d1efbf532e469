"""Every operation of the core's one list (operation_list(), in
symbolic/graph/operations.hpp) has each place an operation needs outside the
core: its builder and binding, its stub, its rows in the README and in the
test tables, so that an operation added without one of them fails here
rather than in a review. CONTRIBUTING.md's "Adding an operation" lists the
same places."""

import ast
import inspect
import io
import re
from pathlib import Path

import pytest
import test_derivatives
import test_elementary
import test_elementary_accuracy
import test_row_batches

import _zarnik
import random_graphs
import zarnik as zk
import zarnik._compiled
import zarnik._functions

ROOT = Path(__file__).resolve().parents[2]
OPERATIONS = zarnik._functions._operations()  # (name, operands, approximated)

# Operations that Python makes with _zarnik's operators and builders, not with
# a function of the package's name.
OPERATORS = {
    "Pack": lambda p: zk.vec2(p.x, p.y),
    "Component": lambda p: p.x,
    "Add": lambda p: p + p,
    "Subtract": lambda p: p - p.x,
    "Multiply": lambda p: p * p,
    "Divide": lambda p: p / p.x,
    "Negate": lambda p: -p,
}
# Operations that only derivative graphs are made of (the README's table of
# them under "Derivatives as graphs").
DERIVATIVE_ONLY = {"Sign", "Step", "Gate"}
# The functions of _zarnik itself, which the extension module documents.
EXTENSION_FUNCTIONS = {"sin", "cos"}


def snake(name):
    """The package's function of an operation: LessEqual is less_equal."""
    return re.sub(r"(?<!^)(?=[A-Z])", "_", name).lower()


def read(path):
    return (ROOT / path).read_text(encoding="utf-8")


def section(text, heading):
    start = text.index(heading)
    end = text.find("\n#", start + len(heading))
    return text[start : end if end != -1 else len(text)]


def ticked(text):
    """The identifiers written in backticks, `name` or `name(...)` or `zarnik.name`."""
    return {match.split(".")[-1] for match in re.findall(r"`([A-Za-z_][\w.]*)", text)}


def stub_exports():
    """The names of the __all__ that zarnik/_functions.pyi declares."""
    stub = ast.parse(read("python/zarnik/_functions.pyi"))
    return next(
        ast.literal_eval(node.value)
        for node in stub.body
        if isinstance(node, ast.Assign) and [target.id for target in node.targets] == ["__all__"]
    )


def functions():
    """The operations Python builds with a function of their own name."""
    return [
        (name, operands, approximated)
        for name, operands, approximated in OPERATIONS
        if name not in OPERATORS and name not in DERIVATIVE_ONLY
    ]


def build(name, operands):
    p = zk.Parameter(0.5, 0.25)
    if name in OPERATORS:
        return OPERATORS[name](p)
    function = getattr(zk, snake(name))
    if operands == 3:
        return function(p, p, zk.Parameter(0.75, 2.0))
    return function(p) if operands == 1 else function(p, zk.Parameter(0.75, 2.0))


README = read("README.md")


def test_the_list_is_the_core_s_and_names_each_operation_once():
    names = [name for name, _, _ in OPERATIONS]
    assert len(names) == len(set(names))
    assert {"Pack", "Component", "Add", "Sin", "Pow", "Gate", "Cbrt"} <= set(names)
    assert set(OPERATORS) | DERIVATIVE_ONLY <= set(names)
    approximated = {name for name, _, approximated in OPERATIONS if approximated}
    assert {"Sin", "Pow", "Atan2"} <= approximated and not approximated & {"Sqrt", "Cbrt", "Abs", "Add"}


@pytest.mark.parametrize("name, operands", [(n, k) for n, k, _ in OPERATIONS if n not in DERIVATIVE_ONLY])
def test_each_operation_is_built_bound_and_saved_under_its_own_name(name, operands):
    """The builder and binding make the operation the list names, and graph
    files keep its byte."""
    built = build(name, operands)
    assert built.op == name
    buffer = io.BytesIO()
    zk.save(built, buffer)
    assert zk.load(io.BytesIO(buffer.getvalue())).op == name


@pytest.mark.parametrize("name, operands", [(n, k) for n, k, _ in OPERATIONS])
def test_each_operation_has_the_c_form_generated_code_computes_it_with(name, operands):
    """Generated C code (symbolic/generate/) writes an operation from its rule:
    through the C names of the `lane` functions where the forward rule is
    written over the lane type, else from the rule's `c_form`. An operation
    with neither cannot be generated."""
    form = zarnik._compiled._c_operation_forms().get(name, "")
    assert form, f"{name} has no C form: give its Rule a c_form in symbolic/graph/operations.hpp"
    if name not in ("Pack", "Component"):
        assert re.search(r"\ba\b", form) and (operands < 2 or re.search(r"\bb\b", form)), form


@pytest.mark.parametrize("name, operands, approximated", functions(), ids=[f[0] for f in functions()])
def test_each_function_has_its_stub_export_docstring_and_readme_rows(name, operands, approximated):
    function = snake(name)
    assert function in zk.__all__
    stubs = read("python/_zarnik.pyi") if function in EXTENSION_FUNCTIONS else read("python/zarnik/_functions.pyi")
    assert re.search(rf"^def {function}\(", stubs, re.MULTILINE), "no stub"
    if function not in EXTENSION_FUNCTIONS:
        assert function in stub_exports(), "not in the stub's __all__"
    if function not in EXTENSION_FUNCTIONS:
        assert getattr(zarnik._functions, function) is getattr(zk, function)
        assert f">>> zk.{function}(" in getattr(zk, function).__doc__, "no example in the docstring"
    assert re.search(rf"^Value {function}\(", read("symbolic/expression.hpp"), re.MULTILINE), "no C++ builder"
    assert function in ticked(section(README, "### Making values")), "not in the README's table"
    headers = next(line for line in README.splitlines() if line.startswith("| `expression.hpp`"))
    assert function in ticked(headers), "not in the README's row of expression.hpp"


@pytest.mark.parametrize("name, operands, approximated", functions(), ids=[f[0] for f in functions()])
def test_each_function_has_rows_in_the_test_tables(name, operands, approximated):
    function = snake(name)
    if operands == 3:
        # where: NumPy's values, PyTorch's derivatives and the branch not
        # taken in its own tests; drawn by the random graphs and the fuzzer.
        assert f"zk.{function}(" in read("tests/python/test_where.py")
        assert f'"{name}"' in inspect.getsource(random_graphs._local_slopes), "no slopes in random_graphs.py"
        assert function in random_graphs.DRAWN_BINARY, "not drawn by random_graphs.py"
        assert re.search(rf"\b{function}\(", read("tests/cpp/random_graphs.hpp")), "not drawn by random_graphs.hpp"
        assert re.search(rf"\b{function}\b", read("tests/fuzz/program_fuzzer.cpp")), "not drawn by the fuzzer"
        assert f"ExpressionOp::{name}" in read("tests/cpp/where_test.cpp")
        return
    accuracy = test_elementary_accuracy.UNARY if operands == 1 else test_elementary_accuracy.BINARY
    assert function in accuracy, "no derivative reference in test_elementary_accuracy.py"
    cases = test_elementary_accuracy.UNARY_CASES if operands == 1 else test_elementary_accuracy.BINARY_CASES
    assert any(case[0] == function for case in cases), "no accuracy case"
    assert f'"{name}"' in inspect.getsource(random_graphs._local_slopes), "no slopes in random_graphs.py"
    assert f"ExpressionOp::{name}" in read("tests/cpp/elementary_test.cpp") or function in EXTENSION_FUNCTIONS
    second = {case[0] for case in test_derivatives.OPERATIONS}
    assert function in second, "no second derivatives against PyTorch in test_derivatives.py"
    if function in EXTENSION_FUNCTIONS:
        return  # drawn as operations of their own by the random graphs
    table = test_elementary.UNARY if operands == 1 else test_elementary.BINARY
    assert function in table, "no reference in test_elementary.py"
    drawn = random_graphs.UNARY if operands == 1 else random_graphs.BINARY
    assert function in drawn, "not drawn by random_graphs.py"
    assert re.search(rf"\b{function}\(", read("tests/cpp/random_graphs.hpp")), "not drawn by random_graphs.hpp"
    assert re.search(rf"\b{function}\b", read("tests/fuzz/program_fuzzer.cpp")), "not drawn by the fuzzer"


def test_every_lane_wise_operation_has_slopes_for_the_sweep_tolerance():
    slopes = inspect.getsource(random_graphs._local_slopes)
    missing = [name for name, operands, _ in OPERATIONS if operands and f'"{name}"' not in slopes]
    assert not missing


def test_functions_that_are_not_smooth_are_flagged_as_kinks_in_the_random_graphs():
    """A function that the README lists where it is not smooth makes the
    random graphs set `kinked` there, where PyTorch may choose another
    convention; log and log1p need not, since their values fail there too."""
    table = section(README, "### Elementary functions")
    listed = set()
    for line in table.splitlines():
        if line.startswith("| `"):
            listed |= ticked(line.split("|")[1])
    listed &= {snake(function) for function, _, _ in functions()}
    assert {"abs", "sqrt", "cbrt", "pow"} <= listed
    source = inspect.getsource(random_graphs.Builder.step)
    flagged = set()
    for chunk in source.split("self.kinked = True")[:-1]:
        condition = chunk[chunk.rindex("if ") :]
        flagged |= set(re.findall(r'"(\w+)"', condition))
    assert listed - {"log", "log1p"} <= flagged, listed - flagged


def test_the_approximate_mode_is_documented_and_tested_for_exactly_the_vectorised_operations():
    vectorised = {snake(name) for name, _, approximated in OPERATIONS if approximated}
    others = {snake(function) for function, _, approximated in functions() if not approximated}
    paragraph = README[README.index("**`approximate=True`** computes the transcendental functions (") :]
    approximate_list, exact_list = paragraph[paragraph.index("(") :].split("everything else", 1)
    assert ticked(approximate_list[: approximate_list.index(")")]) == vectorised
    assert others <= ticked(exact_list[: exact_list.index(")")])
    tested = {case[0] for case in test_row_batches.DOMAINS}
    assert vectorised <= tested, vectorised - tested
    cpp = read("tests/cpp/approximate_test.cpp")
    assert all(f'{{"{name}"' in cpp for name in vectorised), [n for n in vectorised if f'{{"{n}"' not in cpp]


def test_the_extension_module_keeps_its_own_names():
    """New operations are the package's: of the functions, _zarnik has only its own."""
    assert {snake(f) for f, _, _ in functions() if hasattr(_zarnik, snake(f))} == EXTENSION_FUNCTIONS


def test_the_package_re_exports_every_function_that_its_native_module_binds():
    """zarnik star-imports zarnik._functions, whose __all__ the module sets from
    what it binds, so a new function is the package's with no list to update;
    the stub's __all__, which mypy and stubtest read, names the same functions."""
    native = zarnik._functions
    bound = {name for name, value in vars(native).items() if callable(value) and not name.startswith("_")}
    assert {"cbrt", "pow", "dot", "grad"} <= bound
    assert sorted(native.__all__) == sorted(bound)
    assert len(zk.__all__) == len(set(zk.__all__)) and bound <= set(zk.__all__)
    assert all(getattr(zk, name) is getattr(native, name) for name in bound)
    star = {}
    exec("from zarnik import *", star)
    assert set(zk.__all__) <= star.keys()
    stub = ast.parse(read("python/zarnik/_functions.pyi"))
    declared = {node.name for node in stub.body if isinstance(node, ast.FunctionDef)}
    assert sorted(stub_exports()) == sorted(declared) == sorted(bound)
