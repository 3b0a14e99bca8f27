"""An engine run of the example farm end to end, and where its time goes.

520-week runs from the example inventory (construction, seeding, the weeks and
the weekly table), side by side in one run:
  engine (kernel)    - NarvoPopEngine.run, which steps the weeks in the farm kernel;
  engine (Python)    - the same engine with a parameter object of the caller's own,
                       so the weeks go through the plain Python loop over the chains;
  kernel alone       - _farm.seed + _farm.run on arrays, no engine, no table;
  table              - building the weekly DataFrame from the kernel's columns;
  step               - one engine.step() per week, per week.

    python bench/engine.py
"""

from __future__ import annotations

import time
import types

import numpy as np
import pandas as pd

from py_narvo_pop import _farm
from py_narvo_pop.cli import EXAMPLE_DATA, EXAMPLE_START_WEEK
from py_narvo_pop.engine import NarvoPopEngine
from py_narvo_pop.parameters import ParameterSet
from py_narvo_pop.readers.demmet import PopulationInventoryReader
from py_narvo_pop.toverin import Toverin
from py_narvo_pop.weather import WeatherProvider

WEEKS = 520
GROUPS = ("general", "flowering", "sucker_selection", "harvest", "mortality_replacement")

params = ParameterSet.from_yaml(EXAMPLE_DATA / "parameters.yaml")
weather = WeatherProvider.from_file_and_params(EXAMPLE_DATA / "weather.csv", params)
inventory = PopulationInventoryReader.read(EXAMPLE_DATA / "inventory.csv").data
schedule = Toverin.from_yaml(EXAMPLE_DATA / "schedule.yaml")
duck = types.SimpleNamespace(**{g: dict(getattr(params, g)) for g in GROUPS})


def best_ms(fn, repeats: int) -> float:
    best = float("inf")
    for _ in range(3):
        t = time.perf_counter()
        for _ in range(repeats):
            fn()
        best = min(best, (time.perf_counter() - t) / repeats)
    return best * 1e3


def engine_run(p=params) -> pd.DataFrame:
    return NarvoPopEngine(p, weather, inventory, schedule, start_week_index=EXAMPLE_START_WEEK).run(WEEKS)


weeks = range(EXAMPLE_START_WEEK, EXAMPLE_START_WEEK + WEEKS)
history = np.array([weather.thermal_increment(w) for w in range(weather.min_week_index, EXAMPLE_START_WEEK)])
increments = np.array([weather.thermal_increment(w) for w in weeks])
replacements = np.array([schedule.replacement_suckers_for_week(w) for w in weeks])
chains = inventory["chain"].to_numpy(dtype=object)
pops = inventory["population"].to_numpy(dtype="float64")
ages = inventory["age_weeks"].to_numpy(dtype="int64")


def kernel_alone():
    pre, post = _farm.seed(params, chains, pops, ages, EXAMPLE_START_WEEK, weather.min_week_index, history)
    return _farm.run(params, pre, post, EXAMPLE_START_WEEK, increments, replacements)[0]


columns = kernel_alone()
dates = [weather.calendar_date_for_week(w) for w in weeks]


def table_only():
    return pd.DataFrame({"date": dates, **columns})


def main() -> None:
    fast, slow = engine_run(), engine_run(duck)
    pd.testing.assert_frame_equal(fast, slow)
    kernel_ms = best_ms(kernel_alone, 50)
    engine_ms = best_ms(engine_run, 30)
    python_ms = best_ms(lambda: engine_run(duck), 2)
    table_ms = best_ms(table_only, 50)
    step_engine = NarvoPopEngine(params, weather, inventory, schedule, start_week_index=EXAMPLE_START_WEEK)
    step_us = best_ms(step_engine.step, 100) * 1e3
    print(f"{WEEKS}-week runs of the example farm, end to end (tables identical on both paths):")
    print(f"  engine (kernel):   {engine_ms:8.3f} ms per run  ({1e3 / engine_ms:7.0f} runs/s)")
    print(f"  engine (Python):   {python_ms:8.3f} ms per run  ({1e3 / python_ms:7.0f} runs/s)"
          f"  -> kernel path {python_ms / engine_ms:.1f}x")
    print(f"  kernel alone:      {kernel_ms:8.3f} ms per run  ({1e3 / kernel_ms:7.0f} runs/s)")
    print(f"  weekly table:      {table_ms:8.3f} ms per run  ({100 * table_ms / engine_ms:.0f} % of the engine run)")
    print(f"  engine.step():     {step_us:8.1f} us per week")


if __name__ == "__main__":
    main()
