"""The stub renderer's own rules: container constants typed from their values,
bare containers in signatures given Any, and record classes that strict
checkers can match, hash and read as dataclasses."""

import subprocess
import sys
import types
from pathlib import Path

import pandas as pd
import pytest

stubs = pytest.importorskip("stubs")

ROOT = Path(__file__).resolve().parent.parent


@pytest.fixture(scope="module")
def gen():
    return stubs._StubGen(types.ModuleType("sample"))


@pytest.mark.parametrize("value, expected", [
    (("a", "b"), "tuple[str, ...]"),
    (("a",), "tuple[str, ...]"),
    ((), "tuple[()]"),
    ((1, "a", 2.5), "tuple[float | int | str, ...]"),
    ((("a", 1), ("b", 2)), "tuple[tuple[int | str, ...], ...]"),
    (frozenset({"x", "y"}), "frozenset[str]"),
    ({3, "a", 1}, "set[int | str]"),
    ([], "list[Any]"),
    ({}, "dict[Any, Any]"),
    ({"a": 1.0, "b": 2.0}, "dict[str, float]"),
    ({"a": 1, "b": "x"}, "dict[str, int | str]"),
    ({1: ("a",)}, "dict[int, tuple[str, ...]]"),
    (2.5, "float"),
])
def test_constant_annotation_from_value(gen, value, expected):
    assert gen.value_type_str(value) == expected


@pytest.mark.parametrize("signature, expected", [
    ("(self) -> tuple", "(self) -> tuple[Any, ...]"),
    ("(self, x: dict, y: list | None) -> set", "(self, x: dict[Any, Any], y: list[Any] | None) -> set[Any]"),
    ("(self) -> collections.abc.Mapping[str, frozenset]", "(self) -> Mapping[str, frozenset[Any]]"),
    ("(self, x: dict[str, list], /, list=None) -> int", "(self, x: dict[str, list[Any]], /, list=None) -> int"),
    # already subscripted, or a name rather than a type: left as written
    ("(self) -> tuple[int, ...]", "(self) -> tuple[int, ...]"),
    ("(self, tuple: int, dict=None) -> int", "(self, tuple: int, dict=None) -> int"),
    ("(self) -> tuples", "(self) -> tuples"),
])
def test_bare_container_in_signature_holds_any(gen, signature, expected):
    assert gen.simplify_types(signature) == expected


@pytest.mark.parametrize("name", ["py_narvo_pop.toverin", "py_narvo_pop.notices"])
def test_record_class_lines(name):
    text = stubs.render_stub(name)
    assert "__dataclass_params__" not in text
    assert "__dataclass_fields__: ClassVar[dict[str, dataclasses.Field[Any]]] = ..." in text
    assert "__match_args__ = (" in text and "__match_args__:" not in text
    assert "__hash__: None" not in text


USER_CODE = '''\
import copy
import dataclasses

from py_narvo_pop.notices import Notice, NoticeKind
from py_narvo_pop.toverin import Toverin


def use(t: Toverin, n: Notice) -> None:
    match t:
        case Toverin(schedule):
            reveal_type(schedule)
    match n:
        case Notice(kind, message):
            reveal_type(kind)
            reveal_type(message)
    reveal_type(dataclasses.fields(t))
    reveal_type(copy.replace(t))
    keys: set[Toverin] = {t}
    print(hash(t), keys, dataclasses.asdict(n), dict(t.replacement_schedule))
'''


@pytest.mark.skipif(int(pd.__version__.split(".")[0]) < 3,
                    reason="pandas-stubs are pinned for the pandas 3 environment")
def test_records_match_and_read_as_dataclasses_under_strict_mypy(tmp_path):
    pytest.importorskip("mypy")
    script = tmp_path / "user_code.py"
    script.write_text(USER_CODE, encoding="utf-8")
    done = subprocess.run(
        [sys.executable, "-m", "mypy", "--config-file", str(ROOT / "pyproject.toml"),
         "--cache-dir", str(ROOT / "build" / "mypy-cache"), "--no-error-summary",
         "--show-error-codes", "--no-pretty", str(script)],
        cwd=ROOT, capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, done.stdout + done.stderr
    revealed = [line.split("Revealed type is ", 1)[1] for line in done.stdout.splitlines()
                if "Revealed type is" in line]
    assert revealed == [
        '"typing.Mapping[int, float]"',
        '"py_narvo_pop.notices.NoticeKind"',
        '"str"',
        '"tuple[dataclasses.Field[Any], ...]"',
        '"py_narvo_pop.toverin.Toverin"',
    ], done.stdout
