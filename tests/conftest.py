import sys
from pathlib import Path

import pytest

# tools/ holds the stub renderer that the stub test shares with `make stubs`.
sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tools"))


class Params:
    """A caller's own parameter set: five plain dict groups."""

    def __init__(self, **groups):
        base = {
            "general": {
                "base_temperature_c": 14.0,
                "week_length_days": 7,
                "rate_basis": "direct",
                "max_age_weeks_vegetative": 104,
                "max_age_weeks_reproductive": 30,
                "population_epsilon": 1e-6,
            },
            "flowering": {"threshold_dd": 1000.0, "amplitude": 1.0, "peak_weeks": 6.0, "spread": 2.0},
            "sucker_selection": {"threshold_dd": 300.0, "amplitude": 1.2, "peak_weeks": 8.0, "spread": 3.0},
            "harvest": {"threshold_dd": 900.0, "hazard_weeks": 4},
            "mortality_replacement": {"death_rate_vegetative": 0.002, "death_rate_reproductive": 0.003},
        }
        for name, values in groups.items():
            base[name] = {**base[name], **values}
        for name, values in base.items():
            setattr(self, name, values)


@pytest.fixture
def params():
    return Params()


def load_example_farm():
    """(params, weather, inventory, schedule) of the shipped example farm."""
    from py_narvo_pop.cli import EXAMPLE_DATA
    from py_narvo_pop.parameters import ParameterSet
    from py_narvo_pop.readers.demmet import PopulationInventoryReader
    from py_narvo_pop.toverin import Toverin
    from py_narvo_pop.weather import WeatherProvider

    params = ParameterSet.from_yaml(EXAMPLE_DATA / "parameters.yaml")
    weather = WeatherProvider.from_file_and_params(EXAMPLE_DATA / "weather.csv", params)
    inventory = PopulationInventoryReader.read(EXAMPLE_DATA / "inventory.csv").data
    schedule = Toverin.from_yaml(EXAMPLE_DATA / "schedule.yaml")
    return params, weather, inventory, schedule


@pytest.fixture(scope="session")
def example_farm():
    """The shipped example farm, read once: (params, weather, inventory, schedule)."""
    return load_example_farm()
