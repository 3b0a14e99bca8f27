"""The engine against a two-week run worked out by hand, and pickling for workers."""

import datetime as dt
import pickle

import pandas as pd
import pytest

from py_narvo_pop import cohorts
from py_narvo_pop.engine import RESULT_COLUMNS, NarvoPopEngine
from py_narvo_pop.exceptions import CohortChainError, WeatherError
from py_narvo_pop.toverin import Toverin
from py_narvo_pop.weather import ColumnMap, WeatherProvider

from conftest import Params


def step_rate(weeks, amplitude, peak_weeks, spread):
    return 0.1 * amplitude if weeks >= 1 else 0.0


def step_harvest(weeks, hazard_weeks):
    return 0.5 if weeks >= 1 else 0.0


@pytest.fixture
def simple_curves(monkeypatch):
    # Curves simple enough to work a run out by hand.
    monkeypatch.setattr(cohorts, "_dispersion_rate", step_rate)
    monkeypatch.setattr(cohorts, "_harvest_hazard", step_harvest)


def provider(weeks=10):
    days = pd.date_range("2024-01-01", periods=7 * weeks, freq="D")
    daily = pd.DataFrame({"date": days, "hu": 10.0})
    return WeatherProvider(daily, ColumnMap(heat_units="hu"))


def engine_params():
    return Params(
        general={"rate_basis": "direct", "population_epsilon": 1e-6},
        flowering={"threshold_dd": 100.0, "amplitude": 1.0},
        sucker_selection={"threshold_dd": 50.0, "amplitude": 2.0},
        harvest={"threshold_dd": 100.0},
        mortality_replacement={"death_rate_vegetative": 0.1, "death_rate_reproductive": 0.2},
    )


INVENTORY = pd.DataFrame(
    {"chain": ["pre_flowering", "post_flowering"], "population": [100.0, 50.0], "age_weeks": [2, 3]}
)


def test_two_weeks_by_hand(simple_curves):
    engine = NarvoPopEngine(engine_params(), provider(), INVENTORY, Toverin({2: 5.0}),
                            start_week_index=2)
    table = engine.run(2)
    assert list(table.columns) == list(RESULT_COLUMNS)
    expected = pd.DataFrame(
        {
            "date": [dt.date(2024, 1, 15), dt.date(2024, 1, 22)],
            "week_index": [2, 3],
            "heat_units": [70.0, 70.0],
            "pre_flowering": [115.0, 123.5],
            "post_flowering": [25.0, 20.5],
            "flowering": [10.0, 8.0],
            "harvest": [25.0, 7.5],
            "deaths": [20.0, 16.5],
            "pruned": [0.0, 0.0],
            "suckers": [30.0, 28.0],
            "replacements": [5.0, 0.0],
            "pre_flowering_cohorts": [2, 3],
            "post_flowering_cohorts": [2, 3],
        }
    )
    pd.testing.assert_frame_equal(table, expected, check_exact=False, rtol=1e-12)
    assert engine.current_week_index == 4
    births = [c.birth_week_index for c in engine.pre_flowering]
    assert births == [0, 2, 3]


def test_run_beyond_weather_changes_nothing(simple_curves):
    engine = NarvoPopEngine(engine_params(), provider(4), INVENTORY, start_week_index=2)
    before = [c.population for c in engine.pre_flowering]
    with pytest.raises(WeatherError, match="week_index 4 is outside"):
        engine.run(3)
    assert engine.current_week_index == 2
    assert [c.population for c in engine.pre_flowering] == before


def test_seed_before_weather_names_start_week():
    with pytest.raises(CohortChainError, match="Raise start_week_index to at least 2,"):
        NarvoPopEngine(engine_params(), provider(), INVENTORY, start_week_index=1)


def test_engine_pickles_and_continues_identically():
    from py_narvo_pop.parameters import ParameterSet

    engine = NarvoPopEngine(ParameterSet.default(), provider(60), INVENTORY, Toverin({5: 3.0}),
                            start_week_index=3)
    engine.run(4)
    clone = pickle.loads(pickle.dumps(engine))
    pd.testing.assert_frame_equal(engine.run(20), clone.run(20))


class NanWeek:
    """A provider whose heat units are NaN in one week (a hole the weather let through)."""

    def __init__(self, weather, bad_week):
        self.weather, self.bad_week = weather, bad_week

    def thermal_increment(self, week_index):
        return float("nan") if week_index == self.bad_week else self.weather.thermal_increment(week_index)

    def __getattr__(self, name):
        return getattr(self.weather, name)


def example_engine(weather, schedule=None):
    from py_narvo_pop.parameters import ParameterSet

    return NarvoPopEngine(ParameterSet.default(), weather, INVENTORY, schedule or Toverin({5: 3.0}),
                          start_week_index=3)


@pytest.mark.parametrize("bad_week", [3, 4, 9])
def test_failure_in_week_k_keeps_the_weeks_before_and_resumes_identically(bad_week):
    good = provider(60)
    straight = example_engine(good).run(20)
    engine = example_engine(NanWeek(good, bad_week))
    with pytest.raises(ValueError) as failure:
        engine.run(20)
    applied = bad_week - 3
    assert engine.current_week_index == 3 + applied
    assert len(engine.history) == applied
    assert any(f"week {bad_week} was not applied" in note for note in failure.value.__notes__)
    engine.weather = good
    engine.run(20 - applied)
    pd.testing.assert_frame_equal(engine.history, straight)


@pytest.mark.parametrize("amount", [float("nan"), -4.0, float("inf")])
def test_bad_schedule_amount_is_refused_before_stepping(amount):
    with pytest.raises(ValueError, match=r"replacement suckers for week 7 are .*; expected a finite"):
        example_engine(provider(60), Toverin({7: amount}))

    class Planned:  # a schedule without a table to check up front
        def replacement_suckers_for_week(self, week_index):
            return amount if week_index == 7 else 0.0

    engine = example_engine(provider(60), Planned())
    before = engine.pre_flowering.as_dataframe()
    with pytest.raises(ValueError, match="week 7"):
        engine.run(10)
    assert engine.current_week_index == 3 and len(engine.history) == 0
    pd.testing.assert_frame_equal(engine.pre_flowering.as_dataframe(), before)


def test_step_rows_match_run_and_history():
    by_run = example_engine(provider(60)).run(6)
    engine = example_engine(provider(60))
    rows = [engine.step() for _ in range(6)]
    assert pd.DataFrame(rows, columns=list(RESULT_COLUMNS)).to_dict("list") == by_run.to_dict("list")
    pd.testing.assert_frame_equal(engine.history, by_run)
    assert isinstance(rows[0]["week_index"], int) and isinstance(rows[0]["date"], dt.date)


class FailingIntegrate:
    """A caller's own post-flowering chain whose integrate fails in one week."""

    def __init__(self, chain, bad_week):
        self.chain, self.bad_week = chain, bad_week

    def __getattr__(self, name):
        return getattr(self.chain, name)

    def __len__(self):
        return len(self.chain)

    def integrate(self, rates, week_index):
        if week_index == self.bad_week:
            raise RuntimeError("disk full")
        return self.chain.integrate(rates, week_index)


def test_half_applied_week_stops_the_engine():
    from py_narvo_pop.engine import EngineStateError

    engine = example_engine(provider(60))
    engine.post_flowering = FailingIntegrate(engine.post_flowering, 6)
    with pytest.raises(RuntimeError, match="disk full"):
        engine.run(10)
    assert engine.current_week_index == 6 and len(engine.history) == 3
    with pytest.raises(EngineStateError, match="week 6 failed after it had begun"):
        engine.step()
    assert engine.current_week_index == 6


def test_missing_pruning_parameter_changes_nothing():
    params = engine_params()
    engine = NarvoPopEngine(params, provider(), INVENTORY, start_week_index=2)
    del params.general["max_age_weeks_reproductive"]
    with pytest.raises(KeyError, match="max_age_weeks_reproductive"):
        engine.run(2)
    assert engine.current_week_index == 2 and len(engine.history) == 0
