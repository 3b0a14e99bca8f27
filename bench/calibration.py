"""Simulations per second during calibration, side by side with the engine-and-table way.

The example farm, 52-week runs, the calibration error of one parameter vector:
  kernel  - what calibrate() evaluates: seed and run in the farm kernel, error from
            the kernel's columns;
  tables  - the same error through NarvoPopEngine.run and compare() (a table per run);
then a short calibrate() run for its simulations per second end to end.

    python bench/calibration.py
"""

from __future__ import annotations

import time

import numpy as np

from py_narvo_pop.calibration import Farm, _Objective, calibrate, compare, observed_series
from py_narvo_pop.cli import EXAMPLE_DATA, EXAMPLE_START_WEEK
from py_narvo_pop.engine import NarvoPopEngine
from py_narvo_pop.parameters import ParameterSet
from py_narvo_pop.readers.braxen import SuckerSelectionData
from py_narvo_pop.readers.demmet import PopulationInventoryReader
from py_narvo_pop.readers.quillet import RibbonProductionData
from py_narvo_pop.toverin import Toverin
from py_narvo_pop.weather import WeatherProvider

WEEKS = 52
NAMES = ["flowering.threshold_dd", "flowering.spread", "harvest.threshold_dd"]


def per_second(fn, xs) -> float:
    best = 0.0
    for _ in range(3):
        t = time.perf_counter()
        for x in xs:
            fn(x)
        best = max(best, len(xs) / (time.perf_counter() - t))
    return best


def main() -> None:
    params = ParameterSet.from_yaml(EXAMPLE_DATA / "parameters.yaml")
    weather = WeatherProvider.from_file_and_params(EXAMPLE_DATA / "weather.csv", params)
    inventory = PopulationInventoryReader.read(EXAMPLE_DATA / "inventory.csv").data
    schedule = Toverin.from_yaml(EXAMPLE_DATA / "schedule.yaml")
    production = RibbonProductionData.from_file(EXAMPLE_DATA / "production.csv", weather).data
    selection = SuckerSelectionData.from_file(EXAMPLE_DATA / "selection.csv", weather).data
    farm = Farm(weather, inventory, schedule, start_week_index=EXAMPLE_START_WEEK, n_weeks=WEEKS)
    observed = observed_series(production, selection, weather)
    objective = _Objective(farm, params, NAMES, observed, None)

    rng = np.random.default_rng(0)
    xs = [np.array([rng.uniform(1700, 2200), rng.uniform(1, 4), rng.uniform(800, 1100)]) for _ in range(300)]

    def tables(x):
        p = objective.params_at(x)
        table = NarvoPopEngine(p, weather, inventory, schedule, start_week_index=EXAMPLE_START_WEEK).run(WEEKS)
        return compare(table, observed).error()

    for x in xs[:5]:
        assert abs(objective(x) - tables(x)) <= 1e-9 * max(1.0, tables(x))
    fast = per_second(objective, xs)
    slow = per_second(tables, xs[:60])
    print(f"{WEEKS}-week example-farm simulations with their calibration error, one core:")
    print(f"  kernel (calibrate):       {fast:8.0f} per second")
    print(f"  engine + compare tables:  {slow:8.0f} per second   (kernel {fast / slow:.1f}x)")

    t = time.perf_counter()
    result = calibrate(farm, params, production=production, selection=selection, budget=2000, seed=0,
                       progress=False)
    seconds = time.perf_counter() - t
    print(f"  calibrate(budget=2000):   {result.simulations / seconds:8.0f} per second end to end "
          f"({result.simulations} simulations in {seconds:.2f} s)")


if __name__ == "__main__":
    main()
