"""Sobol sensitivity through the native ensemble."""

from __future__ import annotations

import numpy as np
import pytest

pytest.importorskip("SALib")

from py_narvo_pop.cli import EXAMPLE_DATA, EXAMPLE_START_WEEK  # noqa: E402
from py_narvo_pop.ensemble import Scenario  # noqa: E402
from py_narvo_pop.parameters import ParameterSet  # noqa: E402
from py_narvo_pop.readers.demmet import PopulationInventoryReader  # noqa: E402
from py_narvo_pop.sensitivity import bounds_for, parse_names, sensitivity, with_values  # noqa: E402
from py_narvo_pop.weather import WeatherProvider  # noqa: E402


@pytest.fixture(scope="module")
def farm():
    params = ParameterSet.from_yaml(EXAMPLE_DATA / "parameters.yaml")
    weather = WeatherProvider.from_file_and_params(EXAMPLE_DATA / "weather.csv", params)
    inventory = PopulationInventoryReader.read(EXAMPLE_DATA / "inventory.csv").data
    return params, weather, inventory


@pytest.mark.parametrize(
    ("text", "expected"),
    [("flowering.threshold_dd=1600:2400", {"flowering.threshold_dd": (1600.0, 2400.0)}),
     ("harvest.hazard_weeks, flowering.spread=1:3", {"harvest.hazard_weeks": None, "flowering.spread": (1.0, 3.0)})],
)
def test_parse_names(text, expected):
    assert parse_names(text) == expected


@pytest.mark.parametrize(
    ("text", "match"),
    [("flowering.threshold_dd=1600", "LOW:HIGH"), ("flowering.nothing", "unknown parameter"),
     ("general.base_temperature_c", "cannot be varied"), ("flowering.spread=3:1", "LOW < HIGH"), (",", "no parameter"),
     ("mortality_replacement.death_rate_vegetative=0:2",
      r"bounds of mortality_replacement.death_rate_vegetative are 0:2, but parameter "
      r"mortality_replacement.death_rate_vegetative must be a weekly rate between 0 and 1, got 2.0")],
)
def test_refused_names(farm, text, match):
    with pytest.raises(ValueError, match=match):
        bounds_for(farm[0], parse_names(text))


def test_no_names_is_refused(farm):
    with pytest.raises(ValueError, match="no parameter named"):
        bounds_for(farm[0], {})


@pytest.mark.parametrize("basis, amplitude", [("cohort", 1.0), ("direct", 1.0), ("cohort", 1.25)])
def test_default_ranges_stop_at_the_largest_meaningful_value(farm, basis, amplitude):
    # +-20 % of an amplitude of 1 would reach 1.2: more plants flowering than
    # there are, which the direct basis refuses outright; the cohort basis
    # caps an amplitude of 1.25 at 1, so it varies as 1 does.
    params = farm[0]
    d = params.to_dict()
    d["general"]["rate_basis"], d["flowering"]["amplitude"] = basis, amplitude
    d["mortality_replacement"]["death_rate_vegetative"] = 0.9
    b = bounds_for(ParameterSet.from_dict(d), {"flowering.amplitude": None,
                                               "mortality_replacement.death_rate_vegetative": None})
    assert b == {"flowering.amplitude": pytest.approx((0.8, 1.0)),
                 "mortality_replacement.death_rate_vegetative": pytest.approx((0.72, 1.0))}


def test_default_range_and_whole_weeks(farm):
    params = farm[0]
    b = bounds_for(params, {"harvest.hazard_weeks": None})
    assert b["harvest.hazard_weeks"] == pytest.approx((4.8, 7.2))
    p = with_values(params, ["general.max_age_weeks_vegetative", "flowering.spread"], [50.6, 2.5])
    assert p.general["max_age_weeks_vegetative"] == 51 and p.flowering["spread"] == 2.5


def test_indices_find_the_parameter_that_matters(farm):
    params, weather, inventory = farm
    r = sensitivity(params, weather, inventory, start_week_index=EXAMPLE_START_WEEK, n_weeks=52,
                    names="flowering.threshold_dd=1700:2300,mortality_replacement.death_rate_reproductive",
                    samples=64, progress=False)
    assert len(r.samples) == 64 * 4 and len(r.outputs) == 64 * 4
    h = r.indices[r.indices["output"] == "harvest"].set_index("parameter")
    assert h.loc["flowering.threshold_dd", "ST"] > 0.5
    assert h.loc["mortality_replacement.death_rate_reproductive", "ST"] < 0.1
    # Every output is the run's total of its own parameter set, per 52 weeks.
    for i in (0, 17, 200):
        p = with_values(params, r.names, r.samples[i])
        table = Scenario(p, weather, inventory, None, EXAMPLE_START_WEEK, 52).run_engine()
        assert r.outputs["harvest"][i] == pytest.approx(table["harvest"].sum(), rel=1e-12)
    # A parameter without any effect on flowering gets zero indices, not NaN.
    f = r.indices[r.indices["output"] == "flowering"]
    assert np.isfinite(f[["S1", "ST"]].to_numpy()).all()


@pytest.mark.parametrize(("options", "match"), [({"samples": 100}, "power of two"), ({"n_weeks": 0}, "n_weeks"),
                                              ({"seed": -1}, "seed")])
def test_refused_options(farm, options, match):
    params, weather, inventory = farm
    with pytest.raises(ValueError, match=match):
        sensitivity(params, weather, inventory, start_week_index=EXAMPLE_START_WEEK, **options)


def test_the_same_call_gives_the_same_indices_and_intervals(farm):
    params, weather, inventory = farm
    runs = [sensitivity(params, weather, inventory, start_week_index=EXAMPLE_START_WEEK, n_weeks=12,
                        names="flowering.threshold_dd,harvest.threshold_dd", samples=8, progress=False)
            for _ in range(2)]
    assert runs[0].indices.equals(runs[1].indices)
