"""The C++ build as a user configures it from the README's recipe."""

import os
import pathlib
import shutil
import subprocess

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]


def configure(build, *options):
    """CMake's configure step of the README's recipe for the core alone."""
    # CMake is not this project's to sanitize: no preloaded sanitizer runtime.
    env = {name: value for name, value in os.environ.items() if name != "LD_PRELOAD"}
    return subprocess.run(
        [
            "cmake",
            "-S",
            str(ROOT),
            "-B",
            str(build),
            "-DZARNIK_BUILD_TESTS=OFF",
            "-DZARNIK_BUILD_BENCHMARKS=OFF",
            "-DZARNIK_BUILD_PYTHON=OFF",
            *options,
        ],
        check=True,
        capture_output=True,
        text=True,
        timeout=300,
        env=env,
    )


@pytest.mark.skipif(shutil.which("cmake") is None, reason="needs CMake")
def test_a_build_without_a_build_type_is_optimised(tmp_path):
    configure(tmp_path)
    cache = (tmp_path / "CMakeCache.txt").read_text()
    assert "CMAKE_BUILD_TYPE:STRING=Release" in cache


@pytest.mark.skipif(shutil.which("cmake") is None, reason="needs CMake")
def test_a_build_without_sleef_warns_that_approximate_batches_are_exact(tmp_path):
    configured = configure(tmp_path, "-DCMAKE_DISABLE_FIND_PACKAGE_sleef=ON")
    # pip shows a CMake warning (stderr), not a status line.
    assert "SLEEF not found" in configured.stderr and "compute exactly" in configured.stderr
