"""The examples in the docstrings of the package and of _zarnik's stubs run
as written."""

import doctest
import pathlib

import pytest

import _zarnik
import zarnik
import zarnik._compiled
import zarnik._dot

STUBS = pathlib.Path(__file__).resolve().parents[2] / "python" / "_zarnik.pyi"


@pytest.mark.parametrize("module", [zarnik, zarnik._compiled, zarnik._dot], ids=lambda m: m.__name__)
def test_the_package_examples_run(module):
    result = doctest.testmod(module, raise_on_error=True)
    assert result.attempted > 0


def test_the_stub_examples_run():
    test = doctest.DocTestParser().get_doctest(STUBS.read_text(), dict(vars(_zarnik)), "_zarnik.pyi", str(STUBS), 0)
    assert test.examples
    runner = doctest.DocTestRunner()
    runner.run(test)
    assert runner.summarize(verbose=False).failed == 0
