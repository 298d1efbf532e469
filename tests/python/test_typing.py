"""The stubs of _zarnik and the typed package zarnik: they match the modules,
accept what users write and catch their mistakes."""

import os
import pathlib
import re
import subprocess
import sys

import pytest

import _zarnik

TYPING = pathlib.Path(__file__).resolve().parents[1] / "typing"

pytest.importorskip("mypy")

# mypy's own compiled code is not built for the address sanitizer, and type checks test no memory.
pytestmark = pytest.mark.not_under_address_sanitizer(reason="type checking runs mypy, not the library")


def run(tool, *args, folder):
    # The modules and their stubs come from wherever _zarnik was imported
    # from; mypy's cache goes to a folder of the test's own.
    modules = str(pathlib.Path(_zarnik.__file__).resolve().parent)
    env = {**os.environ, "MYPYPATH": modules, "PYTHONPATH": modules, "MYPY_CACHE_DIR": str(folder)}
    return subprocess.run([sys.executable, "-m", tool, *args], capture_output=True, text=True, env=env, cwd=folder,
                          timeout=600)


def test_the_stubs_match_the_modules(tmp_path):
    result = run("mypy.stubtest", "_zarnik", "zarnik", folder=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


def test_what_users_write_type_checks_strictly(tmp_path):
    result = run("mypy", "--strict", str(TYPING / "typed_usage.py"), folder=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


def test_mistakes_are_caught(tmp_path):
    source = TYPING / "misuse.py"
    expected = {(number, match[1]) for number, line in enumerate(source.read_text().splitlines(), start=1)
                if (match := re.search(r"# error: ([a-z-]+)$", line))}
    assert len(expected) >= 10
    result = run("mypy", "--show-error-codes", str(source), folder=tmp_path)
    reported = {(int(match[1]), match[2]) for match in
                re.finditer(r"misuse\.py:(\d+): error: .* \[([a-z-]+)\]$", result.stdout, flags=re.MULTILINE)}
    assert reported == expected, result.stdout
