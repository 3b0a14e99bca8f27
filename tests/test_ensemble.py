"""The native ensemble against the engine: identical tables, any mix of inputs."""

from __future__ import annotations

import datetime as dt
import subprocess
import sys

import numpy as np
import pandas as pd
import pytest

from py_narvo_pop import cohorts, dispersion
from py_narvo_pop.cli import EXAMPLE_DATA, EXAMPLE_START_WEEK
from py_narvo_pop.ensemble import COLUMNS, Scenario, SplicedWeather, kernel_serves, run_ensemble, run_python_path
from py_narvo_pop.exceptions import WeatherError
from py_narvo_pop.parameters import ParameterSet
from py_narvo_pop.readers.demmet import PopulationInventoryReader
from py_narvo_pop.weather import WeatherProvider


@pytest.fixture(scope="module")
def farm(example_farm):
    return example_farm


def varied(params, **changes):
    d = params.to_dict()
    for name, value in changes.items():
        group, key = name.split("__")
        d[group][key] = value
    return ParameterSet.from_dict(d)


class DuckWeather:
    """A caller's own provider over a WeatherProvider: the engine path serves it."""

    def __init__(self, inner, scale=1.0):
        self.inner, self.scale = inner, scale
        self.min_week_index = inner.min_week_index
        self.max_week_index = inner.max_week_index

    def thermal_increment(self, w):
        return self.inner.thermal_increment(w) * self.scale

    def calendar_date_for_week(self, w):
        return self.inner.calendar_date_for_week(w)


def mixed_scenarios(farm):
    params, weather, inventory, schedule = farm
    direct = varied(params, general__rate_basis="direct")
    later = WeatherProvider.from_params(
        pd.read_csv(EXAMPLE_DATA / "weather.csv", parse_dates=["date"]), params,
        run_start_date=dt.date(2021, 1, 11))
    small = inventory.iloc[::3].reset_index(drop=True)
    return [
        Scenario(params, weather, inventory, schedule, EXAMPLE_START_WEEK, 60),
        Scenario(direct, weather, inventory, None, EXAMPLE_START_WEEK, 60),
        Scenario(varied(params, flowering__threshold_dd=1700.0), later, small, schedule, EXAMPLE_START_WEEK, 60),
        Scenario(params.to_dict(), weather, inventory, schedule, EXAMPLE_START_WEEK + 10, 30),  # dict params
        Scenario(params, DuckWeather(weather, 1.05), inventory, schedule, EXAMPLE_START_WEEK, 45),  # engine path
        Scenario(params, weather, inventory, schedule, EXAMPLE_START_WEEK, 0),
    ]


def test_mixed_ensemble_matches_engine_tables(farm):
    scenarios = mixed_scenarios(farm)
    result = run_ensemble(scenarios, threads=2, batch_size=4, progress=False)
    assert result.kernel_scenarios == 5  # the duck-typed weather runs through the engine
    table = result.table()
    assert list(table.columns[:3]) == ["scenario", "date", "week_index"]
    for s, sc in enumerate(scenarios):
        expected = sc.run_engine()
        # An empty engine table leaves week_index untyped; the ensemble's is int64.
        exact = len(expected) > 0
        pd.testing.assert_frame_equal(result.scenario_table(s), expected, check_dtype=exact,
                                      check_index_type=exact)
        own = table[table["scenario"] == s].drop(columns="scenario").reset_index(drop=True)
        pd.testing.assert_frame_equal(own, expected, check_dtype=exact, check_index_type=exact)
    python = run_python_path(scenarios)
    np.testing.assert_array_equal(result.values, python.values)
    pd.testing.assert_frame_equal(python.table(), table)


@pytest.mark.parametrize("threads, batch_size", [(1, 1), (1, 1000), (2, 3), (3, 2)])
def test_threads_and_batches_do_not_change_results(farm, threads, batch_size):
    params, weather, inventory, schedule = farm
    scenarios = [Scenario(varied(params, harvest__hazard_weeks=h), weather, inventory, schedule,
                          EXAMPLE_START_WEEK, 40) for h in (2.0, 4.0, 6.0, 9.0, 12.0)]
    reference = run_python_path(scenarios)
    result = run_ensemble(scenarios, threads=threads, batch_size=batch_size, progress=False)
    np.testing.assert_array_equal(result.values, reference.values)


def test_kept_columns(farm):
    params, weather, inventory, schedule = farm
    scenarios = [Scenario(params, weather, inventory, schedule, EXAMPLE_START_WEEK, 20)] * 3
    full = run_ensemble(scenarios, progress=False)
    part = run_ensemble(scenarios, columns=("harvest", "flowering"), progress=False)
    assert part.values.shape == (3, 20, 2)
    np.testing.assert_array_equal(part.column("harvest"), full.column("harvest"))
    assert list(part.table().columns) == ["scenario", "date", "flowering", "harvest"]
    with pytest.raises(ValueError, match="unknown ensemble column"):
        run_ensemble(scenarios, columns=("yield",))
    # One name is one column, not its letters; no name at all is refused.
    one = run_ensemble(scenarios, columns="harvest", progress=False)
    np.testing.assert_array_equal(one.column("harvest"), full.column("harvest"))
    np.testing.assert_array_equal(run_python_path(scenarios, columns="harvest").values, one.values)
    with pytest.raises(ValueError, match="columns names no column"):
        run_ensemble(scenarios, columns=[])
    with pytest.raises(KeyError, match="no column 'date' in this result"):
        one.column("date")


def test_replaced_dispersion_curve_runs_through_engine(farm, monkeypatch):
    params, weather, inventory, schedule = farm
    sc = Scenario(params, weather, inventory, schedule, EXAMPLE_START_WEEK, 30)
    assert kernel_serves(sc)
    half = lambda weeks, *a: 0.5 * dispersion._dispersion_rate(weeks, *a)  # noqa: E731
    monkeypatch.setattr(cohorts, "_dispersion_rate", half)
    assert not kernel_serves(sc)
    result = run_ensemble([sc], progress=False)
    assert result.kernel_scenarios == 0
    pd.testing.assert_frame_equal(result.scenario_table(0), sc.run_engine())


def test_spliced_weather_kernel_and_engine_agree(farm):
    params, weather, inventory, schedule = farm
    future = WeatherProvider.from_params(pd.read_csv(EXAMPLE_DATA / "weather.csv", parse_dates=["date"]), params,
                                         run_start_date=dt.date(2022, 1, 3))
    spliced = SplicedWeather(weather, future, EXAMPLE_START_WEEK, offset=-EXAMPLE_START_WEEK)
    assert spliced.thermal_increment(EXAMPLE_START_WEEK - 1) == weather.thermal_increment(EXAMPLE_START_WEEK - 1)
    assert spliced.thermal_increment(EXAMPLE_START_WEEK + 3) == future.thermal_increment(3)
    sc = Scenario(params, spliced, inventory, schedule, EXAMPLE_START_WEEK, 52)
    result = run_ensemble([sc], progress=False)
    assert result.kernel_scenarios == 1
    pd.testing.assert_frame_equal(result.scenario_table(0), sc.run_engine())


@pytest.mark.parametrize(
    ("change", "error", "match"),
    [
        ({"n_weeks": 1000}, WeatherError, "outside the weather data's coverage"),
        ({"start_week_index": 3}, Exception, "Raise start_week_index"),
        ({"schedule": "nan"}, ValueError, "expected a finite non-negative number"),
    ],
)
@pytest.mark.parametrize("batch_size", [None, 1])  # one batch; three, two in flight at once
def test_failing_scenario_raises_the_engines_error_naming_it(farm, change, error, match, batch_size):
    params, weather, inventory, schedule = farm
    if change.get("schedule") == "nan":
        change = {"schedule": NanSchedule()}
    good = Scenario(params, weather, inventory, schedule, EXAMPLE_START_WEEK, 10)
    bad = Scenario(**{"params": params, "weather": weather, "inventory": inventory, "schedule": schedule,
                      "start_week_index": EXAMPLE_START_WEEK, "n_weeks": 10, **change})
    with pytest.raises(error, match=match) as engine_error:
        bad.run_engine()
    with pytest.raises(type(engine_error.value)) as got:
        run_ensemble([good, good, bad], threads=2, batch_size=batch_size, progress=False)
    assert str(got.value) == str(engine_error.value)
    assert "in scenario 2" in got.value.__notes__


class NanSchedule:
    replacement_schedule = None

    def replacement_suckers_for_week(self, w):
        return float("nan") if w == EXAMPLE_START_WEEK + 2 else 0.0


@pytest.mark.parametrize("bad", [{"n_weeks": -1}, {"n_weeks": 2.0}, {"start_week_index": True}])
def test_scenario_refuses_bad_spans(farm, bad):
    params, weather, inventory, _ = farm
    with pytest.raises((TypeError, ValueError)):
        Scenario(params, weather, inventory, **{"start_week_index": 0, "n_weeks": 5, **bad})


def test_empty_ensemble():
    result = run_ensemble([], progress=False)
    assert len(result) == 0 and result.table().empty


def test_columns_follow_the_kernel():
    assert set(COLUMNS) >= {"harvest", "flowering", "suckers", "pre_flowering", "post_flowering", "pruned"}


def test_progress_bar_on_request(tmp_path):
    code = (
        "from py_narvo_pop.cli import EXAMPLE_DATA, EXAMPLE_START_WEEK\n"
        "from py_narvo_pop.parameters import ParameterSet\n"
        "from py_narvo_pop.readers.demmet import PopulationInventoryReader\n"
        "from py_narvo_pop.weather import WeatherProvider\n"
        "from py_narvo_pop.ensemble import Scenario, run_ensemble\n"
        "p = ParameterSet.from_yaml(EXAMPLE_DATA / 'parameters.yaml')\n"
        "w = WeatherProvider.from_file_and_params(EXAMPLE_DATA / 'weather.csv', p)\n"
        "inv = PopulationInventoryReader.read(EXAMPLE_DATA / 'inventory.csv').data\n"
        "run_ensemble([Scenario(p, w, inv, None, EXAMPLE_START_WEEK, 5)] * 7, progress=True, batch_size=2)\n"
        "run_ensemble([Scenario(p, w, inv, None, EXAMPLE_START_WEEK, 5)] * 7)\n"
    )
    r = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert r.returncode == 0, r.stderr
    assert "/7" in r.stderr and r.stderr.count("ensemble:") == 1  # no bar when stderr is not a terminal


def test_a_history_the_kernel_refuses_leaves_no_seed_behind(farm):
    """A weather gap before the start sends the scenario to the engine; the next
    scenario with the same seeding inputs must not take another scenario's seed."""
    params, weather, inventory, schedule = farm
    daily = pd.read_csv(EXAMPLE_DATA / "weather.csv", parse_dates=["date"])
    first = daily["date"].min()
    gappy = daily[(daily["date"] < first + pd.Timedelta(days=30)) | (daily["date"] >= first + pd.Timedelta(days=60))]
    with_gap = WeatherProvider.from_params(gappy, params, run_start_date=weather.run_start_date)
    young = inventory[inventory["age_weeks"] < 20].reset_index(drop=True)
    start = EXAMPLE_START_WEEK
    a = Scenario(params, with_gap, young, schedule, start, 20)
    b = Scenario(varied(params, flowering__threshold_dd=1700.0), weather, inventory, schedule, start, 20)
    for scenarios in ([a, b, a], [a, a]):
        result = run_ensemble(scenarios, progress=False)
        np.testing.assert_array_equal(result.values, run_python_path(scenarios).values)


def test_first_failing_scenario_is_reported_whatever_its_kind_of_error(farm):
    params, weather, inventory, schedule = farm
    duplicate = inventory.copy()
    duplicate.loc[1, "age_weeks"] = duplicate.loc[0, "age_weeks"]  # seeding fails: two cohorts of one week
    fractional = inventory.copy()
    fractional["age_weeks"] = fractional["age_weeks"].astype(float) + 0.5  # the engine cuts them; the kernel cannot
    scenarios = [Scenario(params, weather, inv, schedule, EXAMPLE_START_WEEK, 10)
                 for inv in (inventory, duplicate, fractional)]
    with pytest.raises(Exception, match="duplicate cohort") as got:
        run_ensemble(scenarios, progress=False)
    assert got.value.__notes__ == ["in scenario 1"]
    result = run_ensemble([scenarios[0], scenarios[2]], progress=False)
    np.testing.assert_array_equal(result.values, run_python_path([scenarios[0], scenarios[2]]).values)


class FailingSchedule:
    replacement_schedule = None

    def replacement_suckers_for_week(self, w):
        if w == EXAMPLE_START_WEEK + 3:
            raise RuntimeError("schedule broken")
        return 0.0


def test_a_callers_schedule_failing_names_the_scenario(farm):
    params, weather, inventory, schedule = farm
    good = Scenario(params, weather, inventory, schedule, EXAMPLE_START_WEEK, 10)
    bad = Scenario(params, weather, inventory, FailingSchedule(), EXAMPLE_START_WEEK, 10)
    with pytest.raises(RuntimeError, match="schedule broken") as got:
        run_ensemble([good, bad], progress=False)
    assert got.value.__notes__ == ["in scenario 1"]


def test_a_batch_seeding_refused_as_a_whole_is_seeded_one_by_one(farm, monkeypatch):
    """When the batched seeding call raises (an input it cannot convert), each
    seeding runs on its own in order: the first fault is the one reported."""
    from py_narvo_pop import ensemble

    params, weather, inventory, schedule = farm
    scenarios = [Scenario(varied(params, flowering__threshold_dd=t), weather, inventory, schedule,
                          EXAMPLE_START_WEEK, 12) for t in (1700.0, 1900.0)]
    expected = run_ensemble(scenarios, progress=False).values

    def refuse(*args, **kwargs):
        raise TypeError("cannot convert")

    monkeypatch.setattr(ensemble._farm, "seed_many", refuse)
    np.testing.assert_array_equal(run_ensemble(scenarios, progress=False).values, expected)
    duplicate = inventory.copy()
    duplicate.loc[1, "age_weeks"] = duplicate.loc[0, "age_weeks"]
    bad = Scenario(params, weather, duplicate, schedule, EXAMPLE_START_WEEK, 12)
    with pytest.raises(Exception, match="duplicate cohort") as got:
        run_ensemble([*scenarios, bad], progress=False)
    assert got.value.__notes__ == ["in scenario 2"]


def test_a_scenario_of_no_weeks_has_the_engines_empty_table(farm):
    params, weather, inventory, schedule = farm
    sc = Scenario(params, weather, inventory, schedule, EXAMPLE_START_WEEK, 0)
    pd.testing.assert_frame_equal(run_ensemble([sc], progress=False).scenario_table(0), sc.run_engine())
