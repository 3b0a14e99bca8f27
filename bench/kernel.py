"""The farm kernel side by side with a plain C++ loop and with the engine.

1. Nanoseconds per cohort-week: bench/kernel_reference.cpp (the weekly step's
   arithmetic over contiguous arrays, compiled here with g++ -O2 into a
   temporary directory) against the kernel's run at about 50 and 3,000 cohorts.
2. 520-week runs of the example farm per second: the kernel's run against
   NarvoPopEngine.run. The example weather is repeated year by year to cover
   the span.
3. run_many over 16 example-farm scenarios with 1 and 2 threads.
"""

from __future__ import annotations

import subprocess
import tempfile
import time
from pathlib import Path

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
HERE = Path(__file__).resolve().parent


def best(fn, repeats=5):
    times = []
    for _ in range(repeats):
        t = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t)
    return min(times)


def reference_ns(cohorts: int) -> float:
    with tempfile.TemporaryDirectory() as tmp:
        exe = Path(tmp) / "kernel_reference"
        subprocess.run(["g++", "-O2", "-std=c++17", str(HERE / "kernel_reference.cpp"), "-o", str(exe)], check=True)
        return min(float(subprocess.run([str(exe), str(cohorts), str(WEEKS)], check=True, capture_output=True,
                                        text=True).stdout.split()[0]) for _ in range(3))


params = ParameterSet.from_yaml(EXAMPLE_DATA / "parameters.yaml")
schedule = Toverin.from_yaml(EXAMPLE_DATA / "schedule.yaml")
inventory = PopulationInventoryReader.read(EXAMPLE_DATA / "inventory.csv").data

# A weather long enough for 520 weeks after the start week: whole years repeated.
days = pd.read_csv(EXAMPLE_DATA / "weather.csv")
date_column = days.columns[0]
dates = pd.to_datetime(days[date_column])
years = [days.assign(**{date_column: (dates + pd.DateOffset(years=5 * k)).dt.strftime("%Y-%m-%d")}) for k in range(3)]
with tempfile.TemporaryDirectory() as tmp:
    long_path = Path(tmp) / "weather.csv"
    pd.concat(years).drop_duplicates(date_column).to_csv(long_path, index=False)
    weather = WeatherProvider.from_file_and_params(long_path, params)

start = EXAMPLE_START_WEEK
weeks = range(start, start + WEEKS)
engine0 = NarvoPopEngine(params, weather, inventory, schedule, start_week_index=start)
increments = np.array([weather.thermal_increment(w) for w in weeks])
replacements = np.array([engine0.replacement_suckers(w) for w in weeks])
pre0, post0 = _farm.chain_states(engine0.pre_flowering), _farm.chain_states(engine0.post_flowering)


def synthetic_states(n: int) -> dict:
    # n cohorts spread over ages below both limits, so none is pruned early.
    births = start - (np.arange(n) % 50)
    return {
        "birth_week_index": births.astype(np.int64),
        "population": np.full(n, 50.0),
        "thermal_age": (np.arange(n) % 50) * 60.0,
        **{k: np.zeros(n, dtype=np.int64) for k in _farm.STATE_KEYS[3:]},
    }


def kernel_ns(n: int) -> tuple[float, float]:
    states = synthetic_states(n)
    empty = synthetic_states(0)
    cols, _, _ = _farm.run(params, states, empty, start, increments, np.zeros(WEEKS))
    cohort_weeks = float(cols["pre_flowering_cohorts"].sum() + cols["post_flowering_cohorts"].sum())
    t = best(lambda: _farm.run(params, states, empty, start, increments, np.zeros(WEEKS)))
    return t * 1e9 / cohort_weeks, cohort_weeks / WEEKS


print(f"per cohort-week over {WEEKS} weeks (reference: bench/kernel_reference.cpp, g++ -O2)")
for n in (50, 3000):
    ref = reference_ns(n)
    ns, mean = kernel_ns(n)
    print(f"  {n:>5} cohorts seeded (mean {mean:7.0f} live): reference {ref:6.2f} ns, kernel {ns:6.2f} ns"
          f"  -> {ns / ref:4.2f}x the reference")

kernel_run = best(lambda: _farm.run(params, pre0, post0, start, increments, replacements), 20)


def engine_run():
    NarvoPopEngine(params, weather, inventory, schedule, start_week_index=start).run(WEEKS)


engine_time = best(engine_run, 3)
print(f"example farm, {WEEKS} weeks: kernel {1 / kernel_run:8.0f} runs/s, NarvoPopEngine.run {1 / engine_time:6.1f} runs/s"
      f" (engine includes seeding and the summary table) -> {engine_time / kernel_run:.0f}x")

SCENARIOS = 16
many_params = [params] * SCENARIOS
rng = np.random.default_rng(0)
many_inc = increments * rng.uniform(0.9, 1.1, (SCENARIOS, 1))
for threads in (1, 2):
    t = best(lambda: _farm.run_many(many_params, pre0, post0, start, many_inc, replacements, threads=threads), 5)
    print(f"run_many, {SCENARIOS} scenarios x {WEEKS} weeks, {threads} thread(s): {SCENARIOS / t:8.0f} runs/s")
