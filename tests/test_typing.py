"""Strict type check of what users type against: the shipped stubs and Python
files, the examples, and the README's Python code.

mypy runs once (in a subprocess, configured by pyproject.toml) over all of
them; each test then looks at the errors reported for its own files, so a
failure names the part that broke and shows mypy's messages for it.
"""

import re
import subprocess
import sys
from pathlib import Path

import pandas as pd
import pytest

ROOT = Path(__file__).resolve().parent.parent

pytestmark = pytest.mark.skipif(
    int(pd.__version__.split(".")[0]) < 3,
    reason="pandas-stubs are pinned for the pandas 3 environment",
)

FENCE = re.compile(r"^```python[^\n]*\n(.*?)^```", re.M | re.S)


def readme_blocks(text):
    """The bodies of the README's ```python fenced blocks, in order."""
    return [m.group(1) for m in FENCE.finditer(text)]


def test_readme_blocks_are_found():
    assert readme_blocks("a\n```python\nx = 1\n```\n```\nshell\n```\n```python\ny = 2\n```\n") == [
        "x = 1\n", "y = 2\n"]
    assert readme_blocks((ROOT / "README.md").read_text(encoding="utf-8")), "no ```python block in README.md"


@pytest.fixture(scope="module")
def mypy_report(tmp_path_factory):
    readme_dir = tmp_path_factory.mktemp("readme")
    for i, code in enumerate(readme_blocks((ROOT / "README.md").read_text(encoding="utf-8")), 1):
        (readme_dir / f"readme_block_{i}.py").write_text(code, encoding="utf-8")
    cmd = [sys.executable, "-m", "mypy", "--config-file", str(ROOT / "pyproject.toml"),
           "--cache-dir", str(ROOT / "build" / "mypy-cache"), "--no-error-summary",
           "--show-error-codes", "--no-pretty",
           "python/py_narvo_pop", "examples", str(readme_dir)]
    done = subprocess.run(cmd, cwd=ROOT, capture_output=True, text=True, timeout=600)
    # 0: clean, 1: type errors; anything else is mypy failing to run.
    assert done.returncode in (0, 1), f"mypy failed to run ({done.returncode}):\n{done.stdout}{done.stderr}"
    return done.stdout, {"stubs": "python/py_narvo_pop/", "examples": "examples/", "readme": str(readme_dir) + "/"}


@pytest.mark.parametrize("part", ["stubs", "examples", "readme"])
def test_strict_mypy_clean(mypy_report, part):
    output, prefixes = mypy_report
    prefix = prefixes[part]
    errors = [line for line in output.splitlines() if line.startswith(prefix) and ": error:" in line]
    shown = "\n".join(line for line in output.splitlines() if line.startswith(prefix))
    assert not errors, f"mypy --strict reports {len(errors)} error(s) in {prefix}:\n{shown}"


def test_mypy_reports_nothing_outside_the_checked_files(mypy_report):
    # An error in a file none of the parts owns (say a stub mypy found through
    # an import) would otherwise pass unnoticed.
    output, prefixes = mypy_report
    stray = [line for line in output.splitlines()
             if ": error:" in line and not line.startswith(tuple(prefixes.values()))]
    assert not stray, "\n".join(stray)
