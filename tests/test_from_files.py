"""A run started from files alone: weather, inventory and schedule on disk,
chains seeded from the inventory grouped by chain and stepped by hand."""

import pandas as pd
import pytest

from py_narvo_pop import cohorts
from py_narvo_pop.cohorts import ChainKind, CohortChain
from py_narvo_pop.readers.demmet import PopulationInventoryReader
from py_narvo_pop.toverin import Toverin
from py_narvo_pop.weather import ColumnMap, WeatherProvider

from conftest import Params
from test_engine import step_harvest, step_rate


@pytest.fixture
def farm(tmp_path, monkeypatch):
    monkeypatch.setattr(cohorts, "_dispersion_rate", step_rate)
    monkeypatch.setattr(cohorts, "_harvest_hazard", step_harvest)
    days = pd.date_range("2024-01-01", periods=42, freq="D").strftime("%Y-%m-%d")
    pd.DataFrame({"day": days, "hu": 10.0, "rain": 1}).to_csv(tmp_path / "w.csv", index=False)
    (tmp_path / "inv.csv").write_text(
        "chain,population,age_weeks,tag\npre_flowering,100,2,B01\npost_flowering,50,3,007\n")
    (tmp_path / "plan.yaml").write_text("replacement_schedule:\n  2: 5\n")
    return tmp_path


def test_seed_and_step_from_files(farm):
    params = Params(
        general={"rate_basis": "direct"},
        flowering={"threshold_dd": 100.0, "amplitude": 1.0},
        sucker_selection={"threshold_dd": 50.0, "amplitude": 2.0},
        harvest={"threshold_dd": 100.0},
        mortality_replacement={"death_rate_vegetative": 0.1, "death_rate_reproductive": 0.2},
    )
    weather = WeatherProvider.from_file_and_params(farm / "w.csv", params, ColumnMap("day", None, "hu"))
    inventory = PopulationInventoryReader.read(farm / "inv.csv").data
    assert inventory["tag"].tolist() == ["B01", "007"]
    plan = Toverin.from_yaml(farm / "plan.yaml")
    chains = {
        kind: CohortChain.from_dataframe(rows, ChainKind(kind), 2, weather, params)
        for kind, rows in inventory.groupby("chain")
    }
    pre, post = chains["pre_flowering"], chains["post_flowering"]
    # Seeded state: the pre cohort replayed week 1, the post cohort weeks 0 and 1.
    assert [(c.thermal_age, c.weeks_since_flowering_threshold, c.weeks_since_sucker_threshold)
            for c in pre] == [(70.0, 0, 1)]
    assert [(c.thermal_age, c.weeks_since_sucker_threshold, c.weeks_since_harvest_threshold)
            for c in post] == [(140.0, 2, 1)]

    for w in (2, 3):
        a = pre.calc_rates(weather.thermal_increment(w))
        b = post.calc_rates(weather.thermal_increment(w))
        pre.integrate(a, w)
        post.integrate(b, w)
        post.add_new_cohort(a.sum_chain_exit, w)
        pre.add_new_cohort(a.sum_sucker + b.sum_sucker + plan.replacement_suckers_for_week(w), w)

    # Week 2: pre 100 -> 80 (10 flower, 10 die), 20 + 10 suckers + 5 planted;
    #         post 50 -> 15 (25 harvested, 10 die), 10 flowered plants enter.
    # Week 3: pre 80 -> 64, 35 -> 31.5, 28 suckers; post 15 -> 4.5, 10 -> 8, 8 enter.
    assert [c.population for c in pre] == pytest.approx([64.0, 31.5, 28.0], rel=1e-12)
    assert [c.population for c in post] == pytest.approx([4.5, 8.0, 8.0], rel=1e-12)
    assert [c.birth_week_index for c in pre] == [0, 2, 3]
