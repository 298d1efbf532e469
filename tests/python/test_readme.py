"""The README's examples must run as written, and its C++ tour is the one the
tests build."""

import pathlib
import re
import textwrap

ROOT = pathlib.Path(__file__).resolve().parents[2]
README = (ROOT / "README.md").read_text()


def test_the_python_examples_run():
    blocks = re.findall(r"```python\n(.*?)```", README, flags=re.DOTALL)
    assert len(blocks) >= 2, "the README has lost its Python examples"
    for block in blocks:
        exec(compile(block, str(ROOT / "README.md"), "exec"), {})


def test_the_cpp_tour_is_the_tested_one():
    tour = (ROOT / "examples" / "tour.cpp").read_text()
    excerpt = textwrap.dedent(re.search(r"// tour begins\n(.*?)\s*// tour ends", tour, flags=re.DOTALL)[1])
    blocks = re.findall(r"```cpp\n(.*?)```", README, flags=re.DOTALL)
    assert [block.strip() for block in blocks] == [excerpt.strip()]
