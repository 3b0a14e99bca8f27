"""The command line: simulate the shipped farm, check good and bad files of every kind."""

import subprocess
import sys

import pytest

from py_narvo_pop.cli import EXAMPLE_DATA, main

EXAMPLE = {
    "weather": "weather.csv",
    "inventory": "inventory.csv",
    "production": "production.csv",
    "selection": "selection.csv",
    "schedule": "schedule.yaml",
}


def example(name):
    return str(EXAMPLE_DATA / name)


def test_simulate_example_farm(capsys, tmp_path):
    out = tmp_path / "results.csv"
    assert main(["simulate", "--weeks", "8", "--out", str(out)]) == 0
    printed = capsys.readouterr().out
    assert "pre-flower" in printed and "8 weeks:" in printed
    assert out.read_text().splitlines()[0].startswith("date,week_index,heat_units")
    assert len(out.read_text().splitlines()) == 9


@pytest.mark.parametrize("kind", sorted(EXAMPLE))
def test_check_good_files(kind, capsys):
    extra = ["--weather", example("weather.csv")] if kind in ("production", "selection") else []
    assert main(["check", example(EXAMPLE[kind]), "--as", kind, *extra]) == 0
    printed = capsys.readouterr().out
    assert "weeks covered" in printed or "plant groups" in printed


BAD = {
    "weather": ("w.csv", "day,tmean\n2024-01-01,20\n",
                "error: weather file {p!r} missing required column(s): ['date']; "
                "found columns: ['day', 'tmean']"),
    "inventory": ("inv.csv", "chain,population,age_weeks\npre,1,2\n",
                  "error: population inventory file {p!r} has invalid chain value(s) ['pre']; "
                  "expected exactly one of ['post_flowering', 'pre_flowering']"),
    "production": ("prod.csv", "tag,date,bagged,cut,age_at_cut\nR1,2024-01-01,-1,0,\n",
                   "error: column 'bagged' contains negative value(s) at row(s) [0] in {p!r}; "
                   "expected non-negative counts"),
    "selection": ("sel.csv", "date,parous_count,nulliparous_count\nwk12,1,2\n",
                  "error: could not parse 'date' column in {p!r} as calendar dates: "),
    "schedule": ("s.yaml", "replacement_schedule: [1, 2\n", "error: "),
}


@pytest.mark.parametrize("kind", sorted(BAD))
def test_check_bad_files_exit_1_with_one_line(kind, tmp_path, capsys):
    name, text, message = BAD[kind]
    path = tmp_path / name
    path.write_text(text)
    assert main(["check", str(path), "--as", kind]) == 1
    captured = capsys.readouterr()
    assert captured.err.startswith(message.format(p=str(path)))
    assert captured.err.count("\n") == 1 and "Traceback" not in captured.err


def test_missing_file_and_notices(tmp_path, capsys):
    assert main(["check", str(tmp_path / "nope.csv"), "--as", "inventory"]) == 1
    assert "file not found" in capsys.readouterr().err
    path = tmp_path / "prod.csv"
    path.write_text("tag,date,bagged,cut,age_at_cut\nR1,2024-01-01,3,0,\n")
    assert main(["check", str(path), "--as", "production"]) == 0
    captured = capsys.readouterr()
    assert captured.err.count("warning: [Quillet] field_losses:") == 1
    assert "notices: 3" in captured.out


def test_module_entry_point_help():
    done = subprocess.run([sys.executable, "-m", "py_narvo_pop", "simulate", "--help"],
                          capture_output=True, text=True, check=True)
    assert "examples:" in done.stdout and "--start-week" in done.stdout
