"""The examples in the docstrings of the package and of _zarnik's stubs run
as written."""

import ast
import doctest
import pathlib

import pytest

import _zarnik
import zarnik
import zarnik._compiled
import zarnik._dot
import zarnik._functions
import zarnik._io

STUBS = pathlib.Path(__file__).resolve().parents[2] / "python" / "_zarnik.pyi"


@pytest.mark.parametrize(
    "module", [zarnik, zarnik._compiled, zarnik._dot, zarnik._functions, zarnik._io], ids=lambda m: m.__name__
)
def test_the_package_examples_run(module):
    result = doctest.testmod(module, raise_on_error=True)
    assert result.attempted > 0


def test_the_stub_examples_run():
    tree = ast.parse(STUBS.read_text())
    documented = [
        node
        for node in ast.walk(tree)
        if isinstance(node, (ast.Module, ast.ClassDef, ast.FunctionDef)) and ast.get_docstring(node)
    ]
    runner = doctest.DocTestRunner()
    examples = 0
    for node in documented:
        name = getattr(node, "name", "_zarnik")
        test = doctest.DocTestParser().get_doctest(
            ast.get_docstring(node), dict(vars(_zarnik)), name, str(STUBS), getattr(node, "lineno", 0)
        )
        examples += len(test.examples)
        runner.run(test)
    assert examples > 0
    assert runner.summarize(verbose=False).failed == 0
