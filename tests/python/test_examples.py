"""The examples run and reach what they set out to."""

import os
import pathlib
import subprocess
import sys

import pytest

EXAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples"


def run(*args, **options):
    return subprocess.run([sys.executable, *map(str, args)], capture_output=True, text=True, timeout=300, **options)


@pytest.mark.parametrize("name", ["fit_curve.py", "fit_circle.py", "fit_oscillation.py", "newton_rosenbrock.py"])
def test_an_example_converges(name):
    result = run(EXAMPLES / name)
    assert result.returncode == 0, result.stdout + result.stderr
    assert result.stdout.splitlines()[-1].endswith("converged")


def test_the_swing_up_is_solved():
    pytest.importorskip("cyipopt")
    result = run(EXAMPLES / "swing_up.py", "--intervals", "100")
    assert result.returncode == 0, result.stdout + result.stderr
    lines = result.stdout.splitlines()
    assert lines[0].startswith("<zarnik.NLP of 302 variables and 204 constraints>")
    assert lines[-1] == "converged"


def test_the_fit_on_a_dask_cluster_converges():
    pytest.importorskip("distributed")
    result = run(EXAMPLES / "batch_on_dask.py", "--rows", "200000")
    assert result.returncode == 0, result.stdout + result.stderr
    assert result.stdout.splitlines()[-1].endswith("converged")


def test_the_fit_draws_its_picture(tmp_path):
    pytest.importorskip("matplotlib")
    picture = tmp_path / "fit.png"
    result = run(EXAMPLES / "fit_curve.py", "--plot", picture)
    assert result.returncode == 0, result.stdout + result.stderr
    assert picture.read_bytes().startswith(b"\x89PNG")


def test_without_matplotlib_the_fit_says_so(tmp_path):
    # A matplotlib that cannot be imported, ahead of any installed one.
    (tmp_path / "matplotlib").mkdir()
    (tmp_path / "matplotlib" / "__init__.py").write_text("raise ImportError('not here')\n")

    env = {**os.environ, "PYTHONPATH": f"{tmp_path}{os.pathsep}{os.environ.get('PYTHONPATH', '')}"}
    result = run(EXAMPLES / "fit_curve.py", "--plot", tmp_path / "fit.png", env=env)
    assert result.returncode == 2
    assert result.stderr.strip() == "--plot needs matplotlib, which is not installed (pip install matplotlib)"
    assert not (tmp_path / "fit.png").exists()


def test_newton_takes_far_fewer_iterations_than_gradient_descent():
    result = run(EXAMPLES / "newton_rosenbrock.py")
    assert result.returncode == 0, result.stdout + result.stderr
    counts = {
        line.split(":")[0]: int(line.split(":")[1].split()[0])
        for line in result.stdout.splitlines()
        if "iterations" in line
    }
    assert counts["Newton's method"] * 100 < counts["gradient descent"]
