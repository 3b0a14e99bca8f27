"""A small parameter sweep over worker processes.

Every record the engine uses pickles, so a prepared engine can be shipped to
worker processes and each worker runs its own scenario.

    python examples/sweep.py
"""

from __future__ import annotations

from concurrent.futures import ProcessPoolExecutor

from py_narvo_pop.cli import EXAMPLE_DATA, EXAMPLE_START_WEEK
from py_narvo_pop.engine import NarvoPopEngine
from py_narvo_pop.parameters import ParameterSet
from py_narvo_pop.readers.demmet import PopulationInventoryReader
from py_narvo_pop.toverin import Toverin
from py_narvo_pop.weather import WeatherProvider

WEEKS = 104


def scenario(args: tuple[ParameterSet, WeatherProvider, object, Toverin]) -> float:
    params, weather, inventory, schedule = args
    engine = NarvoPopEngine(params, weather, inventory, schedule, start_week_index=EXAMPLE_START_WEEK)
    return float(engine.run(WEEKS)["harvest"].sum())


def main() -> None:
    base = ParameterSet.from_yaml(EXAMPLE_DATA / "parameters.yaml")
    weather = WeatherProvider.from_file_and_params(EXAMPLE_DATA / "weather.csv", base)
    inventory = PopulationInventoryReader.read(EXAMPLE_DATA / "inventory.csv").data
    schedule = Toverin.from_yaml(EXAMPLE_DATA / "schedule.yaml")

    thresholds = [1800.0, 1900.0, 2000.0, 2100.0, 2200.0]
    scenarios = []
    for threshold in thresholds:
        groups = base.to_dict()
        groups["flowering"]["threshold_dd"] = threshold
        scenarios.append((ParameterSet.from_dict(groups), weather, inventory, schedule))

    with ProcessPoolExecutor(max_workers=2) as pool:
        harvests = list(pool.map(scenario, scenarios))
    print(f"harvest over {WEEKS} weeks by flowering threshold:")
    for threshold, harvest in zip(thresholds, harvests):
        print(f"  {threshold:7.0f} degree-days: {harvest:10.0f} bunches")


if __name__ == "__main__":
    main()
