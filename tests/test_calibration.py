"""Observed against simulated, and calibration: statistics by hand, recovery of known parameters."""

import math

import numpy as np
import pandas as pd
import pytest

from py_narvo_pop.calibration import (
    Farm,
    calibrate,
    checked_weights,
    compare,
    fit_statistics,
    observed_series,
    parse_fit,
    resolve_bounds,
    with_values,
)
from py_narvo_pop.parameters import ParameterSet
from py_narvo_pop.readers.braxen import SuckerSelectionData
from py_narvo_pop.readers.quillet import RibbonProductionData
from importlib import resources

DATA = resources.files("py_narvo_pop") / "example_data"


def test_statistics_by_hand():
    # s - o = [1, -2, 3]; observed mean 4, so sum((o - 4)^2) = 4 + 0 + 4 = 8.
    stats = fit_statistics([3.0, 2.0, 9.0, 100.0], [2.0, 4.0, 6.0, math.nan])
    assert stats["weeks"] == 3
    assert stats["observed_total"] == 12.0 and stats["simulated_total"] == 14.0
    assert stats["bias"] == pytest.approx(2.0 / 3.0)
    assert stats["mae"] == pytest.approx(2.0)
    assert stats["rmse"] == pytest.approx(math.sqrt(14.0 / 3.0))
    assert stats["nse"] == pytest.approx(1.0 - 14.0 / 8.0)


@pytest.mark.parametrize(
    "sim, obs, nse",
    [([1.0, 2.0], [1.0, 2.0], 1.0), ([5.0, 5.0], [5.0, 5.0], math.nan), ([], [], math.nan)],
)
def test_statistics_edges(sim, obs, nse):
    stats = fit_statistics(sim, obs)
    assert stats["nse"] == pytest.approx(nse, nan_ok=True)


def test_weeks_without_observation_are_left_out_not_zero():
    simulated = pd.DataFrame({"week_index": [1, 2, 3, 4], "flowering": [10.0, 20.0, 30.0, 40.0],
                              "harvest": [1.0, 1.0, 1.0, 1.0], "suckers": [0.0] * 4})
    observed = pd.DataFrame({"bagged": [10.0, math.nan, 30.0], "cut": [math.nan] * 3},
                            index=pd.Index([2, 3, 9], name="week_index"))
    result = compare(simulated, observed)
    assert list(result.joined["week_index"]) == [2, 3]
    row = result.statistics.loc["flowering"]
    # Week 2 only: 20 simulated against 10 observed.
    assert row["weeks"] == 1 and row["bias"] == 10.0
    assert "harvest" not in result.statistics.index


@pytest.mark.parametrize(
    "text, expected",
    [
        ("flowering.threshold_dd", {"flowering.threshold_dd": None}),
        ("flowering.spread=1:3, harvest.threshold_dd", {"flowering.spread": (1.0, 3.0), "harvest.threshold_dd": None}),
    ],
)
def test_parse_fit(text, expected):
    assert parse_fit(text) == expected


@pytest.mark.parametrize("text", ["flowering.spread=1", "flowering.spread=a:b", ","])
def test_parse_fit_refuses(text):
    with pytest.raises(ValueError):
        parse_fit(text)


@pytest.mark.parametrize(
    "fit, match",
    [
        ({"flowering.treshold_dd": None}, "unknown parameter 'flowering.treshold_dd'"),
        ({"flowering.spread": (3.0, 1.0)}, "LOW < HIGH"),
        ({"general.base_temperature_c": None}, "cannot be varied"),
        ({}, "no parameter named"),
        ({"mortality_replacement.death_rate_reproductive": (0.0, 1.5)},
         "bounds of mortality_replacement.death_rate_reproductive are 0:1.5, but parameter "
         "mortality_replacement.death_rate_reproductive must be a weekly rate between 0 and 1"),
    ],
)
def test_bounds_refused(fit, match):
    with pytest.raises(ValueError, match=match):
        resolve_bounds(ParameterSet.default(), fit)


def test_default_bounds_of_a_small_value_stay_positive():
    params = ParameterSet.default()
    assert resolve_bounds(params, {"general.population_epsilon": None})["general.population_epsilon"][0] > 0


@pytest.mark.parametrize(
    "weights, match",
    [({"Harvest": 1.0}, "unknown series 'Harvest'; the series are 'flowering', 'harvest', 'suckers'"),
     ({"harvest": -1.0}, "weight of harvest must be a finite number >= 0"),
     ({"harvest": float("nan")}, "finite number"),
     ({"harvest": 0.0, "flowering": 0.0}, "every series a weight of 0")],
)
def test_weights_that_would_fit_nothing_are_refused(weights, match):
    # A misspelt series would weigh nothing: every error 0, any parameters "fitted".
    with pytest.raises(ValueError, match=match):
        checked_weights(weights)


# ---------------------------------------------------------------- recovery


@pytest.fixture(scope="module")
def farm(example_farm):
    params, weather, inventory, schedule = example_farm
    return params, Farm(weather, inventory, schedule, start_week_index=104, n_weeks=52)


def _records_from(table, weather, rng, noise):
    """Production and selection records that say what the model says, plus noise."""
    dates = [weather.calendar_date_for_week(int(w)) for w in table["week_index"]]
    production = pd.DataFrame({
        "tag": [f"R{w}" for w in table["week_index"]],
        "date": dates,
        "bagged": table["flowering"] * (1 + noise * rng.standard_normal(len(table))),
        "cut": table["harvest"] * (1 + noise * rng.standard_normal(len(table))),
        "age_at_cut": 12.0,
        "field_losses": np.nan, "rejected": np.nan, "processed": np.nan,
    })
    selection = pd.DataFrame({
        "date": dates,
        "parous_count": table["suckers"] * 0.6,
        "nulliparous_count": table["suckers"] * 0.4,
    })
    selection["total"] = selection["parous_count"] + selection["nulliparous_count"]
    return RibbonProductionData(production, weather), SuckerSelectionData(selection, weather)


def test_calibration_recovers_known_parameters(farm):
    params, farm = farm
    truth = {"flowering.threshold_dd": 1850.0, "flowering.spread": 2.6, "harvest.threshold_dd": 1000.0}
    true_params = with_values(params, truth)
    rng = np.random.default_rng(7)
    production, selection = _records_from(farm.simulate(true_params), farm.weather, rng, noise=0.03)

    start = with_values(params, {"flowering.threshold_dd": 2200.0, "flowering.spread": 1.5,
                                 "harvest.threshold_dd": 800.0})
    result = calibrate(farm, start, production=production, selection=selection,
                       fit={"flowering.threshold_dd": (1500.0, 2500.0), "flowering.spread": (0.5, 5.0),
                            "harvest.threshold_dd": (600.0, 1400.0)},
                       budget=900, seed=3, progress=False)
    assert result.error_after < 0.5 * result.error_before
    assert result.simulations <= 900 + 2
    # Thresholds within 3 % of the truth, the spread within 25 %.
    assert result.values["flowering.threshold_dd"] == pytest.approx(1850.0, rel=0.03)
    assert result.values["harvest.threshold_dd"] == pytest.approx(1000.0, rel=0.03)
    assert result.values["flowering.spread"] == pytest.approx(2.6, rel=0.25)
    assert result.params.flowering["threshold_dd"] == result.values["flowering.threshold_dd"]
    assert result.after.statistics.loc["harvest", "nse"] > 0.9


@pytest.mark.parametrize("weights, records, match", [
    ({"Harvest": 1.0}, "both", "unknown series 'Harvest'"),
    # Only production records: suckers are not observed, so nothing would weigh.
    ({"suckers": 1.0}, "production", r"every observed series \(flowering, harvest\) a weight of 0"),
])
def test_calibrate_refuses_weights_that_fit_nothing_before_any_simulation(farm, weights, records, match):
    params, farm = farm
    production, selection = _records_from(farm.simulate(params), farm.weather, np.random.default_rng(0), 0.0)
    with pytest.raises(ValueError, match=match):
        calibrate(farm, params, production=production, selection=selection if records == "both" else None,
                  weights=weights, budget=10, progress=False)


def test_fitted_values_are_the_ones_the_fitted_set_holds(farm):
    params, farm = farm
    production, selection = _records_from(farm.simulate(params), farm.weather, np.random.default_rng(0), 0.05)
    result = calibrate(farm, params, production=production, selection=selection,
                       fit="general.max_age_weeks_reproductive=20:40,flowering.spread", budget=30, progress=False)
    weeks = result.values["general.max_age_weeks_reproductive"]
    assert weeks == result.params.general["max_age_weeks_reproductive"] and weeks == int(weeks)
    assert result.values["flowering.spread"] == result.params.flowering["spread"]


def test_observed_series_joins_both_records(farm):
    params, farm = farm
    table = farm.simulate(params)
    production, selection = _records_from(table, farm.weather, np.random.default_rng(0), noise=0.0)
    observed = observed_series(production, selection, farm.weather)
    assert list(observed.columns) == ["bagged", "cut", "selected"]
    result = compare(table, observed)
    assert result.statistics.loc["flowering", "rmse"] == pytest.approx(0.0, abs=1e-9)
    assert result.statistics.loc["suckers", "nse"] == pytest.approx(1.0)


def test_a_comparison_that_matches_no_week_is_refused_not_a_perfect_fit(farm):
    params, farm = farm
    table = farm.simulate(params)
    production, _ = _records_from(table, farm.weather, np.random.default_rng(0), 0.0)
    # The weekly table as the records give it: week_index a column, not the index.
    with pytest.raises(ValueError, match="cover none of the simulated weeks .*indexed by week_index"):
        compare(table, production.weekly_table(farm.weather))
    with pytest.raises(ValueError, match=r"cover none of the simulated weeks \(104\.\.155\)"):
        compare(table, observed_series(production, None, farm.weather).set_axis(
            observed_series(production, None, farm.weather).index + 1000).rename_axis("week_index"))
