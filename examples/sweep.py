"""A parameter sweep through the native ensemble.

Every flowering threshold is one scenario of the same farm; the ensemble seeds
and runs them all in the farm kernel, spread over threads, and returns their
weekly columns at once. The same sweep as a plain loop of NarvoPopEngine runs
is timed beside it for sizes from 1 to 256 scenarios.

    python examples/sweep.py
"""

from __future__ import annotations

import time

import numpy as np

from py_narvo_pop.cli import EXAMPLE_DATA, EXAMPLE_START_WEEK
from py_narvo_pop.ensemble import Scenario, run_ensemble
from py_narvo_pop.parameters import ParameterSet
from py_narvo_pop.readers.demmet import PopulationInventoryReader
from py_narvo_pop.toverin import Toverin
from py_narvo_pop.weather import WeatherProvider

WEEKS = 104


def with_threshold(base: ParameterSet, threshold: float) -> ParameterSet:
    groups = base.to_dict()
    groups["flowering"]["threshold_dd"] = threshold
    return ParameterSet.from_dict(groups)


def main() -> None:
    base = ParameterSet.from_yaml(str(EXAMPLE_DATA / "parameters.yaml"))
    weather = WeatherProvider.from_file_and_params(str(EXAMPLE_DATA / "weather.csv"), base)
    inventory = PopulationInventoryReader.read(str(EXAMPLE_DATA / "inventory.csv")).data
    schedule = Toverin.from_yaml(str(EXAMPLE_DATA / "schedule.yaml"))

    def scenarios(thresholds: list[float]) -> list[Scenario]:
        return [Scenario(with_threshold(base, t), weather, inventory, schedule, EXAMPLE_START_WEEK, WEEKS)
                for t in thresholds]

    thresholds = [1800.0, 1900.0, 2000.0, 2100.0, 2200.0]
    result = run_ensemble(scenarios(thresholds))
    harvests = result.column("harvest").sum(axis=1)
    print(f"harvest over {WEEKS} weeks by flowering threshold:")
    for threshold, harvest in zip(thresholds, harvests):
        print(f"  {threshold:7.0f} degree-days: {harvest:10.0f} bunches")

    print("\nscenarios  ensemble runs/s  plain loop runs/s")
    for n in (1, 4, 16, 64, 256):
        batch = scenarios(list(np.linspace(1700.0, 2300.0, n)))
        t = time.perf_counter()
        run_ensemble(batch, progress=False)
        ensemble = time.perf_counter() - t
        t = time.perf_counter()
        for sc in batch[: min(n, 16)]:
            sc.run_engine()
        loop = (time.perf_counter() - t) / min(n, 16) * n
        print(f"{n:9d}  {n / ensemble:15.0f}  {n / loop:17.0f}")


if __name__ == "__main__":
    main()
