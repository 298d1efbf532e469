"""The C++ build as a user configures it from the README's recipe."""

import os
import pathlib
import shutil
import subprocess

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]


@pytest.mark.skipif(shutil.which("cmake") is None, reason="needs CMake")
def test_a_build_without_a_build_type_is_optimised(tmp_path):
    # CMake is not this project's to sanitize: no preloaded sanitizer runtime.
    env = {name: value for name, value in os.environ.items() if name != "LD_PRELOAD"}
    subprocess.run(
        [
            "cmake",
            "-S",
            str(ROOT),
            "-B",
            str(tmp_path),
            "-DZARNIK_BUILD_TESTS=OFF",
            "-DZARNIK_BUILD_BENCHMARKS=OFF",
            "-DZARNIK_BUILD_PYTHON=OFF",
        ],
        check=True,
        capture_output=True,
        text=True,
        timeout=300,
        env=env,
    )
    cache = (tmp_path / "CMakeCache.txt").read_text()
    assert "CMAKE_BUILD_TYPE:STRING=Release" in cache


@pytest.mark.skipif(shutil.which("cmake") is None, reason="needs CMake")
def test_a_build_without_sleef_warns_that_approximate_batches_are_exact(tmp_path):
    env = {name: value for name, value in os.environ.items() if name != "LD_PRELOAD"}
    configured = subprocess.run(
        [
            "cmake",
            "-S",
            str(ROOT),
            "-B",
            str(tmp_path),
            "-DZARNIK_BUILD_TESTS=OFF",
            "-DZARNIK_BUILD_BENCHMARKS=OFF",
            "-DZARNIK_BUILD_PYTHON=OFF",
            "-DCMAKE_DISABLE_FIND_PACKAGE_sleef=ON",
        ],
        check=True,
        capture_output=True,
        text=True,
        timeout=300,
        env=env,
    )
    # pip shows a CMake warning (stderr), not a status line.
    assert "SLEEF not found" in configured.stderr and "compute exactly" in configured.stderr
    assert "SLEEF not found" not in configured.stdout
