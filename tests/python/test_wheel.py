"""The wheel that `pip wheel .` makes is complete: installed into a fresh
virtual environment it imports, carries its metadata, and its stubs match the
installed modules."""

import os
import pathlib
import shutil
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]

pytestmark = [
    pytest.mark.not_under_address_sanitizer(
        reason="the wheel is a release build of its own, tested against the interpreter as it is"
    ),
    pytest.mark.full_stage,
]


def run(*command, **options):
    result = subprocess.run(command, capture_output=True, text=True, timeout=1200, **options)
    assert result.returncode == 0, f"{command}:\n{result.stdout}\n{result.stderr}"
    return result.stdout


def compiler_cache(env):
    """pip's build options that compile through ccache, when there is one, so
    that the wheel reuses what the release build compiled instead of
    compiling the library a second time. ccache finds an object by the
    compiler, its flags and the preprocessed text, with paths under the
    checkout taken relative to the build tree: so the tree lies as deep under
    the checkout as build/<toolchain>/release, the compiler, the warnings and
    pybind11 (the system's, not the copy in site-packages) are that build's."""
    if shutil.which("ccache") is None:
        return []
    build_tree = ROOT / "build" / "wheel" / "pip"
    shutil.rmtree(build_tree, ignore_errors=True)  # still a build from nothing, every time
    env.update(CCACHE_BASEDIR=str(ROOT), CCACHE_NOHASHDIR="true")
    settings = [f"build-dir={build_tree}", "search.site-packages=false"]
    settings += [f"cmake.define.{name}" for name in ("CMAKE_C_COMPILER=cc", "CMAKE_CXX_COMPILER=c++")]
    settings += ["cmake.define.ZARNIK_WARNINGS_AS_ERRORS=ON"]
    settings += [f"cmake.define.CMAKE_{language}_COMPILER_LAUNCHER=ccache" for language in ("C", "CXX")]
    return [option for setting in settings for option in ("-C", setting)]


def test_the_wheel_installs_imports_and_type_checks(tmp_path):
    # Outside the build tree: what the venv sees is what the wheel installed.
    env = {name: value for name, value in os.environ.items() if name not in ("PYTHONPATH", "MYPYPATH")}
    # The build tools come from the interpreter's own packages: no download.
    run(
        sys.executable,
        "-m",
        "pip",
        "wheel",
        "--no-build-isolation",
        "--no-deps",
        *compiler_cache(env),
        "-w",
        str(tmp_path / "wheels"),
        str(ROOT),
        env=env,
    )
    (wheel,) = (tmp_path / "wheels").glob("zarnik-*.whl")
    run(sys.executable, "-m", "zipfile", "-l", str(wheel))
    venv = tmp_path / "venv"
    # NumPy and mypy from the system's packages; the wheel itself from the file alone.
    run(sys.executable, "-m", "venv", "--system-site-packages", str(venv), env=env)
    python = str(venv / "bin" / "python")
    run(python, "-m", "pip", "install", "--no-deps", "--no-index", str(wheel), env=env)

    listing = run(python, "-m", "zipfile", "-l", str(wheel))
    for member in (
        "_zarnik.pyi",
        "_zarnik-stubs/__init__.pyi",
        "zarnik/py.typed",
        "zarnik/_compiled.pyi",
        "zarnik/__init__.py",
        "zarnik.libs/libzarnik_symbolic.so",
    ):
        assert member in listing
    check = """if True:
        import importlib.metadata as metadata, pathlib, sys
        import _zarnik, zarnik
        here = pathlib.Path(sys.prefix)
        assert pathlib.Path(_zarnik.__file__).is_relative_to(here), _zarnik.__file__
        assert pathlib.Path(zarnik.__file__).is_relative_to(here), zarnik.__file__
        info = metadata.metadata("zarnik")
        assert metadata.version("zarnik") == zarnik.__version__ == "0.1.0"
        assert set(info["Requires-Python"].split(",")) == {">=3.14", "<3.15"}
        assert info["Description-Content-Type"] == "text/markdown"
        assert info["Description"].startswith("# zarnik") or info.get_payload().startswith("# zarnik")
        assert "Programming Language :: Python :: 3.14" in info.get_all("Classifier")
        p = zarnik.Parameter(3.0)
        assert zarnik.compile(p * p).backward() == (9.0,) and p.grad == (6.0,)
        print("ok")
    """
    assert run(python, "-c", check, cwd=tmp_path, env=env).strip() == "ok"
    pytest.importorskip("mypy")
    cache = {**env, "MYPY_CACHE_DIR": str(tmp_path / "mypy")}
    run(python, "-m", "mypy.stubtest", "_zarnik", "zarnik", cwd=tmp_path, env=cache)
    run(python, "-m", "mypy", "--strict", str(ROOT / "tests" / "typing" / "typed_usage.py"), cwd=tmp_path, env=cache)
