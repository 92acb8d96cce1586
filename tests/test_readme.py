"""Runs the README's python blocks, in order, in one namespace, so the tour
cannot go stale. A block preceded by `<!-- needs: Class.method ... -->` is
skipped while the module lacks one of those methods, and one needing a bare
name (`<!-- needs: ray -->`) while that optional module is left out (see
index_helpers.left_out); later blocks must not depend on it."""

import pathlib
import re
import textwrap

import pytest

import Lorvane
from index_helpers import left_out

README = pathlib.Path(__file__).resolve().parent.parent / "README.md"

# A fenced python block, possibly indented inside a list item, with an
# optional needs-marker on the line before it.
BLOCK = re.compile(
    r"(?:<!--\s*needs:(?P<needs>[^>]*)-->\s*\n)?(?P<indent>[ ]*)```python\n(?P<body>.*?)\n(?P=indent)```",
    re.S)


def readme_blocks():
    text = README.read_text(encoding="utf-8")
    blocks = []
    for m in BLOCK.finditer(text):
        line = text.count("\n", 0, m.start("body")) + 1
        needs = (m.group("needs") or "").split()
        blocks.append((line, needs, textwrap.dedent(m.group("body"))))
    return blocks


def missing(needs):
    return [n for n in needs if (left_out(n) if "." not in n else
                                 not hasattr(getattr(Lorvane, n.partition(".")[0], None), n.partition(".")[2]))]


BLOCKS = readme_blocks()


def run_block(namespace, line, code):
    # Blank lines keep the README's line numbers in tracebacks.
    exec(compile("\n" * (line - 1) + code, str(README), "exec"), namespace)


@pytest.mark.parametrize("index", range(len(BLOCKS)), ids=[f"line{b[0]}" for b in BLOCKS])
def test_readme_block(index):
    line, needs, code = BLOCKS[index]
    if missing(needs):
        pytest.skip("; ".join(left_out(n) if "." not in n else f"the module lacks {n}" for n in missing(needs)))
    # Each block runs after the ones before it (a tour builds on its start),
    # so a failing block is reported as itself, whatever pytest selects.
    namespace = {"__name__": "readme"}
    for earlier_line, earlier_needs, earlier in BLOCKS[:index]:
        if not missing(earlier_needs):
            run_block(namespace, earlier_line, earlier)
    run_block(namespace, line, code)


def test_every_needed_name_is_in_the_stubs():
    # A needs-marker naming a method the stubs do not describe is a typo: the
    # block would be skipped for ever.
    stubs = (pathlib.Path(__file__).resolve().parent.parent / "src/module/Lorvane-stubs/__init__.pyi").read_text()
    named = {n for _, needs, _ in BLOCKS for n in needs if "." in n}
    assert named, "no block is marked"
    for name in named:
        cls, _, method = name.partition(".")
        section = stubs.split(f"\nclass {cls}:", 1)[1].split("\nclass ", 1)[0]
        assert f"def {method}(" in section, name
