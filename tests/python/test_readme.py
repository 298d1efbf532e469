"""The README's examples must run as written, and its C++ examples are the
ones the tests build."""

import pathlib
import re
import textwrap

ROOT = pathlib.Path(__file__).resolve().parents[2]
README = (ROOT / "README.md").read_text()


def ipopt_usable():
    try:
        import cyipopt  # noqa: F401
    except ImportError:
        return False
    return True


def test_the_python_examples_run(monkeypatch):
    blocks = re.findall(r"```python\n(.*?)```", README, flags=re.DOTALL)
    assert len(blocks) >= 2, "the README has lost its Python examples"
    for block in blocks:
        if '"ipopt"' in block and not ipopt_usable():
            continue  # solves with IPOPT, which is not installed (or not usable here)
        with monkeypatch.context() as scope:
            if "subprocess" in block:
                # The C compiler a block starts runs as itself, not with the
                # sanitizer's runtime that the sanitizer stage preloads (Dask's
                # workers, which load the module, keep it).
                scope.delenv("LD_PRELOAD", raising=False)
            exec(compile(block, str(ROOT / "README.md"), "exec"), {})


def test_the_cpp_examples_are_the_tested_ones():
    # The README's C++ blocks, in order: each the marked part of an example that CTest builds and runs.
    excerpts = []
    for name in ("tour", "rows"):
        source = (ROOT / "examples" / f"{name}.cpp").read_text()
        marked = re.search(rf"// {name} begins\n(.*?)\s*// {name} ends", source, flags=re.DOTALL)[1]
        excerpts.append(textwrap.dedent(marked).strip())
    blocks = re.findall(r"```cpp\n(.*?)```", README, flags=re.DOTALL)
    assert [block.strip() for block in blocks] == excerpts
