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


def write(tmp_path, name, text, mode="w"):
    path = tmp_path / name
    if mode == "wb":
        path.write_bytes(text)
    else:
        path.write_text(text)
    return str(path)


def one_error_line(capsys):
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and "Traceback" not in err and "PosixPath" not in err
    return err


@pytest.mark.parametrize("argv, needle", [
    (["--inventory", "INV"], "needs --weather as well"),
    (["--weather", "W"], "needs --inventory as well"),
    (["--params", "P"], "needs --weather and --inventory as well"),
    (["--weather", "W", "--inventory", "INV"], "needs --start-week or --start-date"),
])
def test_own_files_require_the_others(argv, needle, capsys):
    argv = [a.replace("INV", example("inventory.csv")).replace("W", example("weather.csv"))
            .replace("P", example("parameters.yaml")) for a in argv]
    assert main(["simulate", *argv]) == 1
    assert needle in one_error_line(capsys)


def test_start_too_early_names_the_least_start_over_all_rows(capsys):
    assert main(["simulate", "--weather", example("weather.csv"), "--inventory",
                 example("inventory.csv"), "--start-week", "3"]) == 1
    err = one_error_line(capsys)
    # the oldest group is 42 weeks old: weeks 0.. of the weather reach it from week 41
    assert "use --start-week 41 or later (or --start-date 2021-10-18)" in err
    assert main(["simulate", "--weather", example("weather.csv"), "--inventory",
                 example("inventory.csv"), "--start-date", "2021-10-18", "--weeks", "2"]) == 0
    assert "2 weeks:" in capsys.readouterr().out


@pytest.mark.parametrize("name, content, needle", [
    ("empty.csv", b"", "empty.csv"),
    ("latin.csv", "date,tmean\n2024-01-01,\xe9t\xe9\n".encode("latin-1"), "is not UTF-8 text (line 2 has byte 0xe9)"),
    ("broken.xlsx", b"not a zip file", "broken.xlsx"),
])
def test_unreadable_weather_files_are_one_line(tmp_path, capsys, name, content, needle):
    path = write(tmp_path, name, content, "wb")
    assert main(["check", path, "--as", "weather"]) == 1
    err = one_error_line(capsys)
    assert needle in err and repr(path) in err


def test_schedule_key_not_a_week_and_nan_amount(tmp_path, capsys):
    bad_key = write(tmp_path, "s.yaml", "replacement_schedule:\n  soon: 4\n")
    assert main(["check", bad_key, "--as", "schedule"]) == 1
    assert repr(bad_key) in one_error_line(capsys)
    nan = write(tmp_path, "n.yaml", "replacement_schedule:\n  110: .nan\n")
    assert main(["simulate", "--schedule", nan, "--weather", example("weather.csv"),
                 "--inventory", example("inventory.csv"), "--start-week", "104"]) == 1
    err = one_error_line(capsys)
    assert repr(nan) in err and "week 110 are nan" in err


@pytest.mark.parametrize("suffix", [".csv", ".xlsx", ".parquet"])
def test_out_written_in_the_format_its_suffix_names(tmp_path, capsys, suffix):
    import importlib.util

    import pandas as pd

    out = str(tmp_path / f"results{suffix}")
    code = main(["simulate", "--weeks", "3", "--out", out])
    if suffix == ".parquet" and importlib.util.find_spec("pyarrow") is None:
        assert code == 1 and "needs pyarrow" in one_error_line(capsys)
        return
    assert code == 0
    read = {".csv": pd.read_csv, ".xlsx": pd.read_excel, ".parquet": pd.read_parquet}[suffix]
    table = read(out)
    assert list(table.columns)[:3] == ["date", "week_index", "heat_units"] and len(table) == 3
    assert "pruned" in table.columns


@pytest.mark.parametrize("out, needle", [("nowhere/results.csv", "does not exist"),
                                         ("results.txt", "unsupported suffix '.txt'")])
def test_bad_out_refused_before_the_run(tmp_path, capsys, out, needle):
    assert main(["simulate", "--weeks", "3", "--out", str(tmp_path / out)]) == 1
    captured = capsys.readouterr()
    assert needle in captured.err and "pre-flower" not in captured.out


def test_semicolon_file_with_min_max_columns(tmp_path, capsys):
    import pandas as pd

    daily = pd.read_csv(example("weather.csv"))
    lines = ["Dag;Tmin;Tmax"] + [f"{d};{str(t - 4.0).replace('.', ',')};"
                                  f"{str(t + 4.0).replace('.', ',')}"
                                  for d, t in zip(daily["date"], daily["tmean"])]
    path = write(tmp_path, "w.csv", "\n".join(lines) + "\n")
    assert main(["simulate", "--weeks", "4", "--out", str(tmp_path / "a.csv")]) == 0
    assert main(["simulate", "--weeks", "4", "--weather", path, "--sep", ";", "--date-column",
                 "Dag", "--tmin-column", "Tmin", "--tmax-column", "Tmax",
                 "--inventory", example("inventory.csv"), "--params", example("parameters.yaml"),
                 "--schedule", example("schedule.yaml"), "--start-week", "104",
                 "--out", str(tmp_path / "b.csv")]) == 0
    a, b = pd.read_csv(tmp_path / "a.csv"), pd.read_csv(tmp_path / "b.csv")
    pd.testing.assert_frame_equal(a, b, check_exact=False, rtol=1e-9)


def fahrenheit_weather(tmp_path):
    import pandas as pd

    daily = pd.read_csv(example("weather.csv"))
    daily["tmean"] = daily["tmean"] * 1.8 + 32
    path = str(tmp_path / "f.csv")
    daily.to_csv(path, index=False)
    return path


def test_quality_warnings_and_strict(tmp_path, capsys):
    path = fahrenheit_weather(tmp_path)
    assert main(["check", path, "--as", "weather"]) == 0
    assert "looks like °F" in capsys.readouterr().err
    argv = ["simulate", "--weeks", "2", "--weather", path, "--inventory",
            example("inventory.csv"), "--start-week", "104"]
    assert main(argv) == 0
    assert "warning:" in capsys.readouterr().err
    assert main([*argv, "--strict"]) == 1
    err = one_error_line(capsys)
    assert err.startswith(f"error: weather file {path!r} failed 1 quality check(s) (--strict)")


def test_records_outside_the_weather_get_a_notice(tmp_path, capsys):
    path = write(tmp_path, "sel.csv", "date,parous_count,nulliparous_count\n"
                 "2022-01-04,10,5\n2040-02-01,12,4\n")
    assert main(["check", path, "--as", "selection", "--weather", example("weather.csv")]) == 0
    err = capsys.readouterr().err
    assert "coverage" in err and "2040-02-01" in err


def test_version_and_units_in_help(capsys):
    with pytest.raises(SystemExit):
        main(["--version"])
    assert capsys.readouterr().out.startswith("narvo-pop ")
    with pytest.raises(SystemExit):
        main(["simulate", "--help"])
    text = capsys.readouterr().out
    assert "°C" in text and "degree-days" in text and "--start-date" in text


def test_cli_reads_no_private_attributes():
    import ast
    from pathlib import Path

    import py_narvo_pop.cli as cli

    tree = ast.parse(Path(cli.__file__).read_text())
    private = [n.attr for n in ast.walk(tree) if isinstance(n, ast.Attribute)
               and n.attr.startswith("_") and not n.attr.startswith("__")]
    assert private == []


def copied(tmp_path, name):
    target = tmp_path / name
    target.write_bytes((EXAMPLE_DATA / name).read_bytes())
    return str(target)


@pytest.mark.parametrize("command, extra, name, option", [
    ("simulate", ["--start-week", "104", "--weeks", "4"], "inventory.csv", "--inventory"),
    ("forecast", ["--start-date", "2026-01-05", "--weeks", "4"], "inventory.csv", "--inventory"),
    ("calibrate", ["--start-week", "104", "--production", example("production.csv"), "--budget", "10"],
     "parameters.yaml", "--params"),
])
def test_an_output_naming_an_input_is_refused_before_anything_is_written(tmp_path, capsys, command, extra,
                                                                         name, option):
    own = copied(tmp_path, name)
    before = (tmp_path / name).read_bytes()
    inputs = {"--weather": example("weather.csv"), "--inventory": example("inventory.csv"), option: own}
    argv = [command, *[x for pair in inputs.items() for x in pair], *extra, "--out", own]
    assert main(argv) == 1
    assert f"is the {option} file; writing there would replace it" in one_error_line(capsys)
    assert (tmp_path / name).read_bytes() == before


@pytest.mark.parametrize("argv, needle", [
    (["simulate", "--weather", example("weather.csv"), "--inventory", example("inventory.csv"),
      "--start-week", "9999"], "the run would start in week 9999, after the last week of weather file"),
    (["sensitivity", "--start-week", "9999", "--samples", "2", "--no-progress"],
     "the run would start in week 9999, after the last week"),
    (["sensitivity", "--start-week", "0", "--samples", "2", "--no-progress"], "use --start-week"),
    (["compare", "--weeks", "0"], "--weeks must be at least 1, got 0"),
    (["forecast", "--start-date", "2024/01/01"], "not a calendar date (YYYY-MM-DD): '2024/01/01'"),
    (["simulate", "--schedule", "nope.yaml", "--weather", example("weather.csv"), "--inventory",
      example("inventory.csv"), "--start-week", "104"], "schedule file 'nope.yaml': file not found"),
])
def test_command_line_mistakes_get_one_line_saying_what_to_fix(capsys, argv, needle):
    try:
        code = main(argv)
    except SystemExit as e:  # argparse's own refusals
        code = e.code
    assert code in (1, 2)
    err = capsys.readouterr().err
    assert needle in err and "Traceback" not in err and "Error:" not in err


def test_a_service_that_is_no_scheduler_is_given_up_on(monkeypatch, capsys):
    # Accepts the connection and never answers, as a dashboard behind a proxy may.
    import socket
    import threading

    pytest.importorskip("dask.distributed")
    from py_narvo_pop import _cli_ensemble

    server = socket.socket()
    server.bind(("127.0.0.1", 0))
    server.listen()
    held = []
    threading.Thread(target=lambda: held.append(server.accept()), daemon=True).start()
    monkeypatch.setattr(_cli_ensemble, "CONNECT_SECONDS", 1.0)
    address = f"tcp://127.0.0.1:{server.getsockname()[1]}"
    assert main(["forecast", "--weeks", "2", "--scheduler", address, "--no-progress"]) == 1
    assert "no Dask scheduler answered within 6 s" in one_error_line(capsys)
    # Closing the connection ends the abandoned attempt.
    held[0][0].close()
    server.close()


@pytest.mark.parametrize("command, extra", [
    ("compare", ["--start-week", "104", "--weeks", "20", "--production", example("production.csv")]),
    ("forecast", ["--start-date", "2026-01-05", "--weeks", "6"]),
    ("sensitivity", ["--start-week", "104", "--weeks", "8", "--samples", "4", "--fit", "flowering.threshold_dd"]),
])
def test_every_command_reads_weather_with_the_column_options(tmp_path, capsys, command, extra):
    import pandas as pd

    # The example weather as a semicolon file with decimal commas and a
    # daily minimum and maximum whose mean is the example's mean.
    daily = pd.read_csv(example("weather.csv"))
    own = tmp_path / "weather.csv"
    pd.DataFrame({"Day": daily["date"], "Tmin": daily["tmean"] - 0.5, "Tmax": daily["tmean"] + 0.5}).to_csv(
        own, sep=";", decimal=",", index=False)
    farm = ["--inventory", example("inventory.csv"), "--schedule", example("schedule.yaml"),
            "--params", example("parameters.yaml")]
    progress = ["--no-progress"] if command != "compare" else []
    assert main([command, "--weather", example("weather.csv"), *farm, *extra, *progress]) == 0
    plain = capsys.readouterr().out
    assert main([command, "--weather", str(own), "--sep", ";", "--date-column", "Day", "--tmin-column", "Tmin",
                 "--tmax-column", "Tmax", *farm, *extra, *progress]) == 0
    assert capsys.readouterr().out == plain


def test_strict_refuses_a_fahrenheit_file_in_every_command(tmp_path, capsys):
    import pandas as pd

    daily = pd.read_csv(example("weather.csv"))
    own = tmp_path / "weather.csv"
    daily.assign(tmean=daily["tmean"] * 1.8 + 32).to_csv(own, index=False)
    assert main(["forecast", "--weather", str(own), "--inventory", example("inventory.csv"), "--strict"]) == 1
    assert "failed 1 quality check(s) (--strict)" in one_error_line(capsys)


def test_a_forecast_of_few_members_says_so(capsys):
    assert main(["forecast", "--weeks", "600", "--no-progress"]) == 0
    assert "warning: only 1 weather year(s) cover the same weeks" in capsys.readouterr().err


@pytest.mark.parametrize("name, content, needle", [
    ("params.yaml", "general:\n  # caf\xe9\n".encode("latin-1"),
     "parameter file '{path}' is not UTF-8 text (line 2 has byte 0xe9); save it as UTF-8"),
    ("weather.csv", ("date,tmean\n" + "2024-01-01,20\n" * 3000 + "2024-01-02,\xe9\n").encode("latin-1"),
     "weather file '{path}' is not UTF-8 text (line 3002 has byte 0xe9); save it as UTF-8 CSV"),
])
def test_a_file_that_is_not_utf8_says_where(tmp_path, capsys, name, content, needle):
    path = tmp_path / name
    path.write_bytes(content)
    option = "--params" if name.endswith(".yaml") else "--weather"
    main(["simulate", "--weather", example("weather.csv"), "--inventory", example("inventory.csv"),
          "--start-week", "104", "--weeks", "2", option, str(path)])
    assert needle.format(path=path) in one_error_line(capsys)


def test_strict_refuses_a_schedule_it_would_read_other_than_written(tmp_path, capsys):
    schedule = tmp_path / "schedule.yaml"
    schedule.write_text("replacement_shedule:\n  110: 400\n", encoding="utf-8")
    argv = ["simulate", "--weather", example("weather.csv"), "--inventory", example("inventory.csv"),
            "--start-week", "104", "--weeks", "2", "--schedule", str(schedule)]
    assert main(argv) == 0
    assert "looks like a misspelt 'replacement_schedule'" in capsys.readouterr().err
    assert main([*argv, "--strict"]) == 1
    assert "failed 1 quality check(s) (--strict)" in one_error_line(capsys)


@pytest.mark.parametrize("kind, header", [("selection", "date,parous_count,nulliparous_count"),
                                          ("production", "tag,date,bagged,cut,age_at_cut")])
def test_record_dates_written_as_numbers_are_flagged(tmp_path, capsys, kind, header):
    path = tmp_path / f"{kind}.csv"
    row = "44929,3,4" if kind == "selection" else "R1,44929,3,0,"
    path.write_text(f"{header}\n{row}\n", encoding="utf-8")
    assert main(["check", str(path), "--as", kind]) == 0
    assert "numeric_dates: date: the dates are numbers (44929)" in capsys.readouterr().err
    assert main(["check", str(path), "--as", kind, "--strict"]) == 1
