"""The weekly table balances: every plant that leaves or enters the chains is counted.

    pre + post == last week's pre + post - harvest - deaths - pruned + suckers + replacements
"""

import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from py_narvo_pop.engine import NarvoPopEngine
from py_narvo_pop.parameters import ParameterSet
from py_narvo_pop.readers.demmet import PopulationInventoryReader
from py_narvo_pop.toverin import Toverin
from py_narvo_pop.weather import ColumnMap, WeatherProvider

from conftest import Params
from test_cli import example


def assert_balances(engine, table, start_total):
    totals = (table["pre_flowering"] + table["post_flowering"]).to_numpy()
    before = [start_total, *totals[:-1]]
    expected = (before - table["harvest"] - table["deaths"] - table["pruned"]
                + table["suckers"] + table["replacements"]).to_numpy()
    scale = max(1.0, float(max(abs(x) for x in before)))
    pd.testing.assert_series_equal(pd.Series(totals), pd.Series(expected),
                                   check_exact=False, rtol=0, atol=1e-9 * scale)


def total(engine):
    return engine.pre_flowering.total_population() + engine.post_flowering.total_population()


def test_example_farm_balances_over_two_years():
    params = ParameterSet.from_yaml(example("parameters.yaml"))
    weather = WeatherProvider.from_file_and_params(example("weather.csv"), params)
    inventory = PopulationInventoryReader.read(example("inventory.csv")).data
    engine = NarvoPopEngine(params, weather, inventory, Toverin.from_yaml(example("schedule.yaml")),
                            start_week_index=104)
    start = total(engine)
    table = engine.run(weather.max_week_index - 104 + 1)
    assert table["pruned"].sum() > 0 and table["harvest"].sum() > 0
    assert_balances(engine, table, start)


def daily(tmean, weeks):
    days = pd.date_range("2020-01-06", periods=7 * weeks, freq="D")
    return WeatherProvider(pd.DataFrame({"date": days, "tmean": tmean}), ColumnMap())


def test_cold_weather_prunes_by_age():
    # Below the base temperature nothing flowers: every cohort grows old in the
    # pre-flowering chain and the age limit takes it out, suckers and all.
    params = Params(general={"max_age_weeks_vegetative": 20},
                    sucker_selection={"threshold_dd": 0.0})
    weather = daily(8.0, 80)
    inventory = pd.DataFrame({"chain": ["pre_flowering", "post_flowering"],
                              "population": [500.0, 200.0], "age_weeks": [5, 3]})
    engine = NarvoPopEngine(params, weather, inventory, Toverin({12: 40.0}), start_week_index=10)
    start = total(engine)
    table = engine.run(65)
    assert table["flowering"].sum() == 0.0
    assert table["pruned"].sum() > 400
    assert_balances(engine, table, start)


def test_huge_epsilon_prunes_everything_the_first_week():
    params = Params(general={"population_epsilon": 1e9})
    inventory = pd.DataFrame({"chain": ["pre_flowering"], "population": [300.0], "age_weeks": [1]})
    engine = NarvoPopEngine(params, daily(25.0, 10), inventory, Toverin({3: 7.0}),
                            start_week_index=2)
    start = total(engine)
    table = engine.run(5)
    assert table["pruned"].iloc[0] == pytest.approx(300.0 - table["deaths"].iloc[0])
    # The week's new cohort is added after pruning, and pruned the week after.
    assert table["pruned"].iloc[2] == pytest.approx(
        table["replacements"].iloc[1] + table["suckers"].iloc[1] - table["deaths"].iloc[2])
    assert table["pre_flowering_cohorts"].tolist() == [0, 1, 0, 0, 0]
    assert_balances(engine, table, start)


farms = st.lists(
    st.tuples(st.sampled_from(["pre_flowering", "post_flowering"]),
              st.floats(0.0, 5000.0), st.integers(0, 40)),
    min_size=0, max_size=6, unique_by=lambda row: (row[0], row[2]),
)


@settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(
    rows=farms,
    basis=st.sampled_from(["cohort", "direct"]),
    tmean=st.floats(0.0, 40.0),
    epsilon=st.sampled_from([0.0, 1e-6, 1.0, 50.0]),
    max_veg=st.integers(0, 60),
    max_rep=st.integers(0, 30),
    death=st.floats(0.0, 0.5),
    replacements=st.dictionaries(st.integers(40, 70), st.floats(0.0, 1000.0), max_size=4),
)
def test_generated_farms_balance(rows, basis, tmean, epsilon, max_veg, max_rep, death, replacements):
    params = Params(
        general={"rate_basis": basis, "population_epsilon": epsilon,
                 "max_age_weeks_vegetative": max_veg, "max_age_weeks_reproductive": max_rep},
        flowering={"threshold_dd": 300.0},
        harvest={"threshold_dd": 200.0},
        mortality_replacement={"death_rate_vegetative": death, "death_rate_reproductive": death},
    )
    inventory = pd.DataFrame(rows, columns=["chain", "population", "age_weeks"])
    engine = NarvoPopEngine(params, daily(tmean, 80), inventory, Toverin(replacements),
                            start_week_index=41)
    start = total(engine)
    table = engine.run(30)
    assert_balances(engine, table, start)
    assert (table["pruned"] >= 0).all()
    pd.testing.assert_frame_equal(engine.history, table)
