"""Import-time behaviour: attributes, repeated imports, other interpreters."""

import importlib
import os
import pathlib
import re
import shutil
import subprocess
import sys
import tomllib

import pytest

import _zarnik as zk

ROOT = pathlib.Path(__file__).resolve().parents[2]
OWN_ATTRIBUTES = [
    "__version__",
    "Expression",
    "Constant",
    "Parameter",
    "Undefined",
    "vec2",
    "vec3",
    "vec4",
    "sin",
    "cos",
]
STANDARD_ATTRIBUTES = {"__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__"}


def test_attributes_are_registered_in_order_and_nothing_else():
    names = [name for name in vars(zk) if name not in STANDARD_ATTRIBUTES]
    assert names == OWN_ATTRIBUTES
    assert zk.__version__ == "0.1.0"
    assert zk.__doc__ is None
    assert zk.Expression.__qualname__ == "Expression"
    assert zk.Expression.__module__ == "_zarnik"


def test_the_version_is_the_one_that_cmake_and_the_package_metadata_read():
    # The package metadata takes its version from CMakeLists.txt with the pattern that pyproject.toml gives.
    settings = tomllib.loads((ROOT / "pyproject.toml").read_text())
    assert "version" in settings["project"]["dynamic"]
    version = settings["tool"]["scikit-build"]["metadata"]["version"]
    assert version["input"] == "CMakeLists.txt"
    found = re.search(version["regex"], (ROOT / version["input"]).read_text())
    assert found is not None and found["value"] == zk.__version__


def test_a_second_import_and_a_reload_register_nothing_again():
    expression_class = zk.Expression
    constant_function = zk.Constant
    again = importlib.import_module("_zarnik")
    assert again is zk
    reloaded = importlib.reload(zk)
    assert reloaded is zk
    assert reloaded.Expression is expression_class
    assert reloaded.Constant is constant_function
    assert [name for name in vars(reloaded) if name not in STANDARD_ATTRIBUTES] == OWN_ATTRIBUTES
    assert isinstance(reloaded.Constant(1.0), expression_class)


def test_a_sub_interpreter_refuses_the_module():
    pytest.importorskip("concurrent.interpreters")
    # In a process of its own: a sub-interpreter leaves the main interpreter's
    # thread state in a shape that other extension modules do not expect.
    script = """if True:
        from concurrent import interpreters
        interpreter = interpreters.create()
        try:
            interpreter.exec("import _zarnik")
        except interpreters.ExecutionFailed as failure:
            print(failure)
        else:
            print("imported")
        finally:
            interpreter.close()
    """
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True)
    assert "does not support loading in subinterpreters" in result.stdout


def test_another_interpreter_version_gets_the_version_mismatch_error(tmp_path):
    python313 = shutil.which("python3.13")
    if python313 is None:
        pytest.skip("python3.13 is not installed")
    # A copy under a name that 3.13 looks for, so that it loads this very file.
    suffix = subprocess.run(
        [python313, "-c", "import importlib.machinery as m; print(m.EXTENSION_SUFFIXES[0])"],
        capture_output=True,
        text=True,
        check=True,
    ).stdout.strip()
    shutil.copy(zk.__file__, tmp_path / f"_zarnik{suffix}")
    result = subprocess.run(
        [python313, "-c", "import _zarnik"],
        capture_output=True,
        text=True,
        cwd=tmp_path,
        env={**os.environ, "PYTHONPATH": str(tmp_path)},
    )
    assert result.returncode != 0
    version = subprocess.run(
        [python313, "-c", "import sys; print(sys.version)"], capture_output=True, text=True, check=True
    ).stdout.strip()
    expected = (
        "ImportError: Python version mismatch: module was compiled for Python 3.14, "
        f"but the interpreter version is incompatible: {version}."
    )
    assert expected in result.stderr


def test_the_running_interpreter_is_the_one_the_module_was_built_for():
    assert sys.version_info[:2] == (3, 14)
