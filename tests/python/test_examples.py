"""The examples run and reach what they set out to."""

import pathlib
import subprocess
import sys

import pytest

EXAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples"


@pytest.mark.parametrize("name, last_line", [("fit_curve.py", "converged"), ("fit_circle.py", "converged")])
def test_an_example_converges(name, last_line):
    result = subprocess.run([sys.executable, str(EXAMPLES / name)], capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr
    assert result.stdout.splitlines()[-1].endswith(last_line)
