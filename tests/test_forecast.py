"""Forecasts: members from past years' weather, quantiles, the command."""

from __future__ import annotations

import datetime as dt
import os
import subprocess
import sys

import numpy as np
import pandas as pd
import pytest

from py_narvo_pop.cli import EXAMPLE_DATA
from py_narvo_pop.forecast import VARIABLES, forecast, quantile_name, years_back
from py_narvo_pop.parameters import ParameterSet
from py_narvo_pop.readers.demmet import PopulationInventoryReader
from py_narvo_pop.readers.vimlo import WeatherFileReader
from py_narvo_pop.weather import WeatherProvider


@pytest.fixture(scope="module")
def inputs():
    params = ParameterSet.from_yaml(EXAMPLE_DATA / "parameters.yaml")
    daily = WeatherFileReader.read(EXAMPLE_DATA / "weather.csv").data
    inventory = PopulationInventoryReader.read(EXAMPLE_DATA / "inventory.csv").data
    return params, daily, inventory


@pytest.mark.parametrize(
    ("day", "k", "expected"),
    [(dt.date(2026, 3, 1), 1, dt.date(2025, 3, 1)), (dt.date(2024, 2, 29), 1, dt.date(2023, 2, 28)),
     (dt.date(2024, 2, 29), 4, dt.date(2020, 2, 29)), (dt.date(2025, 12, 29), 3, dt.date(2022, 12, 29))],
)
def test_years_back(day, k, expected):
    assert years_back(day, k) == expected


def test_members_run_past_years_weather_beyond_the_record(inputs):
    params, daily, inventory = inputs
    start = dt.date(2025, 12, 29)  # the day after the record
    f = forecast(daily, params, inventory, start_date=start, n_weeks=20, quantiles=(0.0, 0.5, 1.0))
    assert f.members["year_offset"].tolist() == [1, 2, 3, 4]  # 2020 is not in the record
    assert f.start_date == start and len(f.quantiles) == 20
    history = WeatherProvider.from_params(daily, params)
    for m, k in enumerate(f.members["year_offset"]):
        future = WeatherProvider.from_params(daily, params, run_start_date=years_back(start, k))
        expected = [future.thermal_increment(w) for w in range(20)]
        assert f.ensemble.column("heat_units")[m].tolist() == expected
    # The member's seeding history is the real record: its table is the engine's
    # run over a provider whose weeks are the record before and member year after.
    q = f.quantiles
    for v in VARIABLES:
        values = f.ensemble.column(v)
        np.testing.assert_array_equal(q[quantile_name(v, 0.0)], values.min(axis=0))
        np.testing.assert_array_equal(q[quantile_name(v, 1.0)], values.max(axis=0))
        np.testing.assert_allclose(q[quantile_name(v, 0.5)], np.median(values, axis=0))
    assert q["date"].tolist() == [history.calendar_date_for_week(w) for w in q["week_index"]]


def test_crossed_with_parameter_sets(inputs):
    params, daily, inventory = inputs
    d = params.to_dict()
    d["flowering"]["threshold_dd"] = 1700.0
    sets = [params, ParameterSet.from_dict(d)]
    f = forecast(daily, params, inventory, start_date=dt.date(2025, 1, 6), n_weeks=10, param_sets=sets)
    assert len(f.members) == 2 * f.members["year_offset"].nunique()
    assert sorted(f.members["param_set"].unique()) == [0, 1]
    flowering = f.ensemble.column("flowering")
    assert not np.array_equal(flowering[0], flowering[1])  # the parameter sets differ
    assert f.ensemble.column("heat_units")[0].tolist() == f.ensemble.column("heat_units")[1].tolist()


def test_start_as_text_and_sets_as_mappings_are_taken(inputs):
    params, daily, inventory = inputs
    f = forecast(daily, params, inventory, start_date="2025-01-06", n_weeks=6, param_sets=[params.to_dict()])
    g = forecast(daily, params, inventory, start_date=dt.date(2025, 1, 6), n_weeks=6)
    assert f.quantiles.equals(g.quantiles)


def test_start_inside_the_record_is_snapped_to_its_week(inputs):
    params, daily, inventory = inputs
    f = forecast(daily, params, inventory, start_date=dt.date(2023, 6, 14), n_weeks=8)
    history = WeatherProvider.from_params(daily, params)
    week = history.week_index_for_date(dt.date(2023, 6, 14))
    assert f.start_week_index == week and f.start_date == history.calendar_date_for_week(week)
    assert f.members["year_offset"].tolist() == [1, 2]


@pytest.mark.parametrize(
    ("kwargs", "match"),
    [({"n_weeks": 0}, "n_weeks"), ({"quantiles": (0.5, 1.5)}, "quantiles"),
     ({"start_date": dt.date(2021, 3, 1)}, "no year of the weather record"),
     ({"n_weeks": 1000}, "no year of the weather record"), ({"n_weeks": 10**6}, "no year of the weather record"),
     ({"quantiles": (0.1, 0.1000001)}, r"give the column\(s\) \['harvest_p10'\] more than once"),
     ({"quantiles": ("low",)}, "quantiles must be numbers"),
     ({"quantiles": (q for q in (0.5, 2.0))}, r"quantiles must be numbers in \[0, 1\], got \[0.5, 2.0\]"),
     ({"start_date": "29/12/2025"}, "start_date must be a date or a YYYY-MM-DD text")],
)
def test_refusals(inputs, kwargs, match):
    params, daily, inventory = inputs
    args = {"start_date": dt.date(2025, 12, 29), "n_weeks": 10, **kwargs}
    with pytest.raises(ValueError, match=match):
        forecast(daily, params, inventory, **args)


def run_cli(*args, cwd=None):
    code = ("import argparse, sys\n"
            "from py_narvo_pop import _cli_ensemble, cli\n"
            "p = argparse.ArgumentParser(prog='narvo-pop'); sub = p.add_subparsers(required=True)\n"
            "_cli_ensemble.add_parsers(sub)\n"
            "a = p.parse_args(sys.argv[1:])\n"
            "try:\n    sys.exit(a.func(a))\n"
            "except cli.CliError as e:\n    print(f'error: {e}', file=sys.stderr); sys.exit(1)\n")
    return subprocess.run([sys.executable, "-c", code, *args], capture_output=True, text=True, timeout=120,
                          cwd=cwd, env={**os.environ})


def test_command_writes_table_and_fan(tmp_path):
    out, fan = tmp_path / "f.csv", tmp_path / "fan.png"
    r = run_cli("forecast", "--weeks", "6", "--quantiles", "0.9,0.1,0.5", "--out", str(out), "--plot", str(fan))
    assert r.returncode == 0, r.stderr
    assert "12 members" in r.stdout and "harvest_p10" in r.stdout and "harvest_p90" in r.stdout
    table = pd.read_csv(out)
    assert len(table) == 6 and {"harvest_p50", "suckers_p10", "post_flowering_p90"} <= set(table.columns)
    assert fan.stat().st_size > 1000


@pytest.mark.parametrize(
    ("args", "message"),
    [(["--quantiles", "0.1,x"], "--quantiles"), (["--weeks", "0"], "--weeks"),
     (["--weather", "w.csv"], "give both --weather and --inventory"),
     (["--out", "/no/such/dir/f.csv"], "does not exist"),
     (["--scheduler", "tcp://a:1", "--workers", "2"], "exclude each other")],
)
def test_command_refusals(args, message):
    r = run_cli("forecast", *args)
    assert r.returncode == 1
    assert message in r.stderr and "Traceback" not in r.stderr


def test_command_crosses_parameter_files(tmp_path):
    import yaml

    base = ParameterSet.from_yaml(EXAMPLE_DATA / "parameters.yaml").to_dict()
    paths = []
    for k, threshold in enumerate((1700.0, 2100.0)):
        base["flowering"]["threshold_dd"] = threshold
        paths.append(tmp_path / f"set{k}.yaml")
        paths[-1].write_text(yaml.safe_dump(base))
    r = run_cli("forecast", "--weeks", "4", "--param-sets", *map(str, paths), "--no-progress")
    assert r.returncode == 0, r.stderr
    assert "24 members (12 weather years x 2 parameter set(s))" in r.stdout
    base["general"]["base_temperature_c"] = 13.0
    paths[1].write_text(yaml.safe_dump(base))
    r = run_cli("forecast", "--weeks", "4", "--param-sets", *map(str, paths))
    assert r.returncode == 1 and "Traceback" not in r.stderr
    assert f"--param-sets {paths[1]} has general.base_temperature_c = 13.0" in r.stderr


def test_sets_must_share_the_weather_of_params(inputs):
    params, daily, inventory = inputs
    d = params.to_dict()
    d["general"]["week_length_days"] = 5
    with pytest.raises(ValueError, match=r"param_sets\[1\] has general.week_length_days = 5"):
        forecast(daily, params, inventory, start_date=dt.date(2025, 1, 6), n_weeks=4,
                 param_sets=[params, ParameterSet.from_dict(d)])
    with pytest.raises(ValueError, match="param_sets is empty"):
        forecast(daily, params, inventory, start_date=dt.date(2025, 1, 6), n_weeks=4, param_sets=[])


def test_a_start_beyond_the_record_is_refused_with_the_latest_start(inputs):
    params, daily, inventory = inputs
    with pytest.raises(ValueError, match="the forecast cannot start on 2040-01-06") as got:
        forecast(daily, params, inventory, start_date=dt.date(2040, 1, 6), n_weeks=4)
    latest = dt.date.fromisoformat(str(got.value).rsplit(" ", 1)[1])
    f = forecast(daily, params, inventory, start_date=latest, n_weeks=4)  # the latest start works
    assert f.start_date == latest

