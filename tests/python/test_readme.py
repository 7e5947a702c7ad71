"""The README's Python code blocks run as written."""

import pathlib
import re

README = pathlib.Path(__file__).resolve().parents[2] / "README.md"


def test_readme_python_blocks_run():
    blocks = re.findall(r"```python\n(.*?)```", README.read_text(), flags=re.S)
    assert blocks, "the README has no Python example"
    # In order, in one namespace: a block may go on with an earlier one's names.
    names = {}
    for block in blocks:
        exec(compile(block, str(README), "exec"), names)
