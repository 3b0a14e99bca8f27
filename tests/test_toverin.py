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
    def write(data):
        path = tmp_path / "schedule.yaml"
        path.write_bytes(data.encode("utf-8") if isinstance(data, str) else data)
        return path

    return write


def test_record_owns_its_schedule():
    a, b = Toverin(), Toverin()
    assert dict(a.replacement_schedule) == {} and a.replacement_schedule is not b.replacement_schedule
    given = {4: 10.0}
    rec = Toverin(given)
    given[5] = 99.0
    with pytest.raises(TypeError):
        rec.replacement_schedule[6] = 1.0  # type: ignore[index]
    assert dict(rec.replacement_schedule) == {4: 10.0}


@pytest.mark.parametrize(
    "action",
    [lambda r: setattr(r, "replacement_schedule", {}), lambda r: delattr(r, "replacement_schedule")],
)
def test_record_is_frozen(action):
    with pytest.raises(dataclasses.FrozenInstanceError):
        action(Toverin({1: 2.0}))


def test_value_semantics():
    a = Toverin({10: 250.0, 11: 180.5})
    b = Toverin(replacement_schedule={11: 180.5, 10: 250})
    assert a == b and hash(a) == hash(b) and a != Toverin({10: 250.0})
    assert repr(a) == "Toverin(replacement_schedule={10: 250.0, 11: 180.5})"
    for clone in (pickle.loads(pickle.dumps(a)), copy.deepcopy(a)):
        assert clone == a and type(clone) is Toverin
    assert copy.replace(a, replacement_schedule={2: 2.0}) == Toverin({2: 2.0})


@pytest.mark.parametrize("week, expected", [(4, 100.0), (5, 0.0), (6, 50.5), (-1, 7.0), (99, 0.0)])
def test_amount_for_week(week, expected):
    amount = Toverin({4: 100, 6: 50.5, -1: 7.0}).replacement_suckers_for_week(week)
    assert amount == expected and type(amount) is float


@pytest.mark.parametrize(
    "text",
    ["", "null\n", "false\n", "other: 1\n", "replacement_schedule:\n", "replacement_schedule: []\n"],
)
def test_empty_schedules(write, text):
    assert Toverin.from_yaml(write(text)) == Toverin()


@pytest.mark.parametrize(
    "entries, expected",
    [
        ("10: 250\n  11: 180.5", {10: 250.0, 11: 180.5}),
        ("2.9: 1\n  -2.9: 2", {2: 1.0, -2: 2.0}),
        ("'7': '250'\n  8: '2.5'", {7: 250.0, 8: 2.5}),
        ("6: 1\n  2: 1\n  2.5: 9", {6: 1.0, 2: 9.0}),
    ],
)
def test_entries_are_converted(write, entries, expected):
    rec = Toverin.from_yaml(write(f"# Düngung\nreplacement_schedule:\n  {entries}\n"))
    assert list(rec.replacement_schedule.items()) == list(expected.items())
    assert all(type(k) is int and type(v) is float for k, v in rec.replacement_schedule.items())


@pytest.mark.parametrize("as_text", [True, False])
def test_subclass_and_path_forms(write, as_text):
    class Mine(Toverin):
        pass

    path = write("replacement_schedule: {1: 2}\n")
    rec = Mine.from_yaml(path=str(path) if as_text else path)
    assert type(rec) is Mine and dict(rec.replacement_schedule) == {1: 2.0}


@pytest.mark.parametrize(
    "data, error",
    [
        (None, FileNotFoundError),
        ("replacement_schedule: {1: 2\n", yaml.YAMLError),
        ("!!python/object/apply:os.getcwd []\n", yaml.YAMLError),
        (b"replacement_schedule: {1: 2}\n# caf\xe9\n", UnicodeDecodeError),
        ("- 1\n- 2\n", AttributeError),
        ("replacement_schedule: text\n", AttributeError),
        ("replacement_schedule: {'3.5': 1}\n", ValueError),
        ("replacement_schedule: {null: 1}\n", TypeError),
        ("replacement_schedule: {1: abc}\n", ValueError),
        ("replacement_schedule: {1: null}\n", TypeError),
    ],
)
def test_errors_pass_through(write, tmp_path, data, error):
    with pytest.raises(error):
        Toverin.from_yaml(tmp_path / "absent.yaml" if data is None else write(data))


@pytest.mark.skipif(not Path("/proc/self/fd").is_dir(), reason="needs /proc")
@pytest.mark.parametrize("data", ["replacement_schedule: {1: 2\n", b"\xff\xfe\n"])
def test_file_closed_on_error(write, data):
    path = write(data)
    before = len(os.listdir("/proc/self/fd"))
    with pytest.raises(Exception) as info:
        Toverin.from_yaml(path)
    # The traceback keeps the parser's frames (and their stream) alive, so an
    # unclosed file would still hold its descriptor here.
    assert info.value is not None and len(os.listdir("/proc/self/fd")) == before
