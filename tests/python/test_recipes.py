"""The documentation's programs do what it says: each recipe in docs/recipes.md prints the block
shown under it, and the README's usage example ends with the stop line its comment promises."""

import doctest
import os
import re
import subprocess
import sys
import tempfile
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]
# A heading, the program, then (after prose without code blocks) the output it prints.
RECIPE = re.compile(
    r"^## (?P<title>.+?)\n.*?```python\n(?P<code>.*?)```\n(?:(?!```).)*?```text\n(?P<output>.*?)```",
    re.S | re.M,
)
STOP_LINE = re.compile(r"^Task id:-?\d+ stopped\.\n", re.M)


# Standard output line-buffered, as on a terminal (standard error already is), with standard error
# merged in: the output reads in the order it was written, and no stop line that a worker writes
# to the descriptor lands inside a printed line (unbuffered, print writes a line's end apart).
PRELUDE = "import sys; sys.stdout.reconfigure(line_buffering=True)\n"


def run(code: str) -> subprocess.CompletedProcess[str]:
    env = {name: value for name, value in os.environ.items() if name != "PYTHONUNBUFFERED"}
    return subprocess.run(
        [sys.executable, "-c", PRELUDE + code], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
        text=True, cwd=tempfile.gettempdir(), env=env, timeout=60,
    )


RECIPES = list(RECIPE.finditer((REPO / "docs" / "recipes.md").read_text()))


@pytest.mark.parametrize("recipe", RECIPES, ids=[recipe["title"] for recipe in RECIPES])
def test_recipe_prints_what_the_document_shows(recipe: re.Match[str]) -> None:
    """The recipe exits 0 and its output, less the workers' stop lines, matches its block."""
    done = run(recipe["code"])
    assert done.returncode == 0, done.stdout
    printed = STOP_LINE.sub("", done.stdout)
    checker = doctest.OutputChecker()
    assert checker.check_output(recipe["output"], printed, doctest.ELLIPSIS), (recipe["output"], printed)


def test_every_recipe_is_run() -> None:
    """Every recipe heading has a program and its output, so none escapes the test above."""
    headings = re.findall(r"^## ", (REPO / "docs" / "recipes.md").read_text(), re.M)
    assert len(RECIPES) == len(headings) > 0


def test_readme_usage_shows_its_stop_line() -> None:
    """The usage example ticks, and the worker's stop line comes before the program exits."""
    readme = (REPO / "README.md").read_text()
    code = re.search(r"^## Usage\n.*?```python\n(.*?)```", readme, re.S | re.M)
    assert code is not None
    done = run(code[1])
    assert done.returncode == 0, done.stdout
    output = done.stdout.splitlines()
    assert output[-1] == "Task id:1 stopped.", done.stdout
    assert output[0].startswith("tick "), done.stdout
