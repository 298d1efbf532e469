"""The README's Python tour must run as written."""

import pathlib
import re

README = pathlib.Path(__file__).resolve().parents[2] / "README.md"


def test_the_python_tour_runs():
    blocks = re.findall(r"```python\n(.*?)```", README.read_text(), flags=re.DOTALL)
    assert blocks, "the README has no Python example"
    for block in blocks:
        exec(compile(block, str(README), "exec"), {})
