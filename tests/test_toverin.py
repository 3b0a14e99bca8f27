import copy
import dataclasses
import os
import pickle
from pathlib import Path

import pytest
import yaml

from py_narvo_pop.toverin import Toverin


@pytest.fixture
def write(tmp_path):
    def write(data, name="schedule.yaml"):
        path = tmp_path / name
        path.write_bytes(data.encode("utf-8") if isinstance(data, str) else data)
        return path

    return write


# ------------------------------------------------------------------ record ---


def test_default_schedules_are_separate_and_empty():
    a, b = Toverin(), Toverin(None)
    assert dict(a.replacement_schedule) == {} == dict(b.replacement_schedule)
    assert a.replacement_schedule is not b.replacement_schedule
    assert a.replacement_suckers_for_week(0) == 0.0


def test_record_keeps_its_own_copy():
    given = {4: 10.0}
    rec = Toverin(given)
    given[5] = 99.0
    assert dict(rec.replacement_schedule) == {4: 10.0}
    with pytest.raises(TypeError):
        rec.replacement_schedule[5] = 1.0  # type: ignore[index]
    assert rec.replacement_suckers_for_week(5) == 0.0


@pytest.mark.parametrize(
    "action",
    [
        lambda r: setattr(r, "replacement_schedule", {}),
        lambda r: delattr(r, "replacement_schedule"),
        lambda r: setattr(r, "other", 1),
    ],
)
def test_record_is_frozen(action):
    with pytest.raises(dataclasses.FrozenInstanceError):
        action(Toverin({1: 2.0}))


def test_equality_hash_and_repr():
    a = Toverin({10: 250.0, 11: 180.5})
    b = Toverin(replacement_schedule={11: 180.5, 10: 250})
    assert a == b and hash(a) == hash(b)
    assert a != Toverin({10: 250.0})
    assert (a == {10: 250.0, 11: 180.5}) is False
    assert len({a, b}) == 1
    assert repr(a) == "Toverin(replacement_schedule={10: 250.0, 11: 180.5})"


@pytest.mark.parametrize(
    "clone",
    [lambda r: pickle.loads(pickle.dumps(r)), copy.copy, copy.deepcopy],
    ids=["pickle", "copy", "deepcopy"],
)
def test_copies_are_equal(clone):
    rec = Toverin({3: 1.5, -2: 4.0})
    out = clone(rec)
    assert out == rec and type(out) is Toverin


def test_replace_and_match():
    rec = copy.replace(Toverin({1: 1.0}), replacement_schedule={2: 2.0})
    assert rec == Toverin({2: 2.0})
    match rec:
        case Toverin(schedule):
            assert dict(schedule) == {2: 2.0}


@pytest.mark.parametrize(
    "week, expected",
    [(4, 100.0), (5, 0.0), (6, 50.5), (-1, 7.0), (0, 0.0), (1000, 0.0)],
)
def test_amount_for_week(week, expected):
    rec = Toverin({4: 100, 6: 50.5, -1: 7.0})
    amount = rec.replacement_suckers_for_week(week)
    assert amount == expected and type(amount) is float


# ---------------------------------------------------------------- from_yaml ---


@pytest.mark.parametrize(
    "text",
    [
        "",
        "# nothing but a comment\n",
        "null\n",
        "false\n",
        "0\n",
        "''\n",
        "{}\n",
        "other: 1\nmore: [1, 2]\n",
        "replacement_schedule:\n",
        "replacement_schedule: null\n",
        "replacement_schedule: {}\n",
        "replacement_schedule: []\n",
        "replacement_schedule: 0\n",
    ],
)
def test_empty_schedules(write, text):
    rec = Toverin.from_yaml(write(text))
    assert rec == Toverin()
    assert rec.replacement_suckers_for_week(10) == 0.0


@pytest.mark.parametrize(
    "entries, expected",
    [
        ("10: 250\n  11: 180.5", {10: 250.0, 11: 180.5}),
        ("2.9: 1", {2: 1.0}),
        ("-2.9: 1", {-2: 1.0}),
        ("'7': 3", {7: 3.0}),
        ("7: '250'", {7: 250.0}),
        ("7: '2.5'", {7: 2.5}),
        ("-3: -4.5", {-3: -4.5}),
        ("2: 1\n  2.5: 9", {2: 9.0}),
        ("true: 1", {1: 1.0}),
    ],
)
def test_entries_are_converted(write, entries, expected):
    rec = Toverin.from_yaml(write(f"replacement_schedule:\n  {entries}\n"))
    assert dict(rec.replacement_schedule) == expected
    assert all(type(k) is int and type(v) is float for k, v in rec.replacement_schedule.items())


def test_document_order_and_week_lookup(write):
    rec = Toverin.from_yaml(write("replacement_schedule:\n  6: 60\n  4: 40\nnote: x\n"))
    assert list(rec.replacement_schedule) == [6, 4]
    assert [rec.replacement_suckers_for_week(w) for w in (4, 5, 6)] == [40.0, 0.0, 60.0]


@pytest.mark.parametrize("as_text", [True, False])
def test_path_forms_and_utf8(write, as_text):
    path = write("# Düngung und Nachpflanzung\nreplacement_schedule: {1: 2}\n")
    rec = Toverin.from_yaml(str(path) if as_text else path)
    assert rec == Toverin({1: 2.0})


def test_subclass_gets_subclass(write):
    class Mine(Toverin):
        pass

    rec = Mine.from_yaml(path=write("replacement_schedule: {1: 2}\n"))
    assert type(rec) is Mine and dict(rec.replacement_schedule) == {1: 2.0}


@pytest.mark.parametrize(
    "data, error",
    [
        ("replacement_schedule: {1: 2\n", yaml.YAMLError),
        ("!!python/object/apply:os.getcwd []\n", yaml.YAMLError),
        (b"replacement_schedule: {1: 2}\n# caf\xe9\n", UnicodeDecodeError),
        ("- 1\n- 2\n", AttributeError),
        ("just text\n", AttributeError),
        ("replacement_schedule: [1, 2]\n", AttributeError),
        ("replacement_schedule: text\n", AttributeError),
        ("replacement_schedule: {'3.5': 1}\n", ValueError),
        ("replacement_schedule: {abc: 1}\n", ValueError),
        ("replacement_schedule: {.inf: 1}\n", OverflowError),
        ("replacement_schedule: {null: 1}\n", TypeError),
        ("replacement_schedule: {1: abc}\n", ValueError),
        ("replacement_schedule: {1: null}\n", TypeError),
        ("replacement_schedule: {1: [2]}\n", TypeError),
    ],
)
def test_errors_pass_through(write, data, error):
    with pytest.raises(error):
        Toverin.from_yaml(write(data))


def test_missing_file(tmp_path):
    with pytest.raises(FileNotFoundError):
        Toverin.from_yaml(tmp_path / "absent.yaml")


@pytest.mark.skipif(not Path("/proc/self/fd").is_dir(), reason="needs /proc")
@pytest.mark.parametrize(
    "data", ["replacement_schedule: {1: 2\n", b"\xff\xfe\n", "replacement_schedule: {1: x}\n"]
)
def test_file_closed_on_error(write, data):
    path = write(data)
    before = len(os.listdir("/proc/self/fd"))
    with pytest.raises(Exception) as info:
        Toverin.from_yaml(path)
    # The traceback keeps the parser's frames (and their stream) alive, so an
    # unclosed file would still hold its descriptor here.
    assert info.value is not None
    assert len(os.listdir("/proc/self/fd")) == before
