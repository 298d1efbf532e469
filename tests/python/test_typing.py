"""The stubs of _zarnik and the typed package zarnik: they match the modules,
accept what users write (which runs as written) and catch their mistakes."""

import os
import pathlib
import re
import shutil
import subprocess
import sys

import pytest

import _zarnik

TYPING = pathlib.Path(__file__).resolve().parents[1] / "typing"


def type_check(test):
    """A test that runs mypy: in the full stage only, and not under the address
    sanitizer (mypy's compiled code is not built for it, and type checks test
    no memory)."""
    test = pytest.mark.not_under_address_sanitizer(reason="type checking runs mypy, not the library")(test)
    return pytest.mark.full_stage(test)


def run(tool, *args, folder):
    pytest.importorskip("mypy")
    # The modules and their stubs come from wherever _zarnik was imported
    # from; mypy's cache goes to a folder of the test's own.
    modules = str(pathlib.Path(_zarnik.__file__).resolve().parent)
    env = {**os.environ, "MYPYPATH": modules, "PYTHONPATH": modules, "MYPY_CACHE_DIR": str(folder)}
    return subprocess.run(
        [sys.executable, "-m", tool, *args], capture_output=True, text=True, env=env, cwd=folder, timeout=600
    )


@type_check
def test_the_stubs_match_the_modules(tmp_path):
    result = run("mypy.stubtest", "_zarnik", "zarnik", folder=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


# Makes Dask, an optional dependency, unimportable in a process that has
# this file's folder first on its path.
WITHOUT_DASK = 'import sys\nsys.modules.update(dict.fromkeys(("dask", "dask.array", "distributed"), None))\n'


def without_dask(folder):
    """The environment of a process that cannot import Dask."""
    blocked = folder / "without_dask"
    blocked.mkdir()
    (blocked / "sitecustomize.py").write_text(WITHOUT_DASK)
    modules = str(pathlib.Path(_zarnik.__file__).resolve().parent)
    return {**os.environ, "PYTHONPATH": os.pathsep.join([str(blocked), modules])}


def test_every_module_of_the_package_imports_without_dask(tmp_path):
    program = (
        "import importlib, pkgutil, zarnik\n"
        "try:\n    import dask\nexcept ImportError:\n    pass\nelse:\n    raise SystemExit('dask imported')\n"
        "for module in pkgutil.walk_packages(zarnik.__path__, 'zarnik.'):\n"
        "    importlib.import_module(module.name)\n"
    )
    done = subprocess.run(
        [sys.executable, "-c", program],
        capture_output=True,
        text=True,
        cwd=tmp_path,
        env=without_dask(tmp_path),
        timeout=120,
    )
    assert done.returncode == 0, done.stderr + done.stdout


@type_check
def test_the_stubs_match_the_modules_without_dask(tmp_path):
    pytest.importorskip("mypy")
    env = {
        **without_dask(tmp_path),
        "MYPYPATH": str(pathlib.Path(_zarnik.__file__).resolve().parent),
        "MYPY_CACHE_DIR": str(tmp_path),
    }
    result = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "_zarnik", "zarnik"],
        capture_output=True,
        text=True,
        env=env,
        cwd=tmp_path,
        timeout=600,
    )
    assert result.returncode == 0, result.stdout + result.stderr


@type_check
def test_what_users_write_type_checks_strictly(tmp_path):
    result = run("mypy", "--strict", str(TYPING / "typed_usage.py"), folder=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


@type_check
def test_mistakes_are_caught(tmp_path):
    source = TYPING / "misuse.py"
    expected = {
        (number, match[1])
        for number, line in enumerate(source.read_text().splitlines(), start=1)
        if (match := re.search(r"# error: ([a-z-]+)$", line))
    }
    assert len(expected) >= 10
    result = run("mypy", "--show-error-codes", str(source), folder=tmp_path)
    reported = {
        (int(match[1]), match[2])
        for match in re.finditer(r"misuse\.py:(\d+): error: .* \[([a-z-]+)\]$", result.stdout, flags=re.MULTILINE)
    }
    assert reported == expected, result.stdout


@pytest.mark.skipif(shutil.which("dot") is None, reason="Graphviz's dot is not installed")
def test_what_users_write_runs(tmp_path):
    # Generic aliases, NumPy arrays as lanes and the pictures' options by
    # position: what the stubs accept, the modules take.
    result = subprocess.run(
        [sys.executable, str(TYPING / "typed_usage.py")], capture_output=True, text=True, cwd=tmp_path, timeout=120
    )
    assert result.returncode == 0, result.stderr
    assert (tmp_path / "graph.svg").exists() and (tmp_path / "values.svg").exists()
