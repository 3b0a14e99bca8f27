"""How much of an engine run is the Python loop around the native weekly step.

Runs the example farm for 150 weeks with NarvoPopEngine.run (native weekly
loop, plus the weather lookups and the summary table), then the same weeks as a
plain Python loop calling only the chains' calc_rates/integrate/add_new_cohort
(the least a Python driver must do), and the same weeks one engine.step at a
time; prints each per week.
"""

from __future__ import annotations

import time

from py_narvo_pop.cli import EXAMPLE_DATA, EXAMPLE_START_WEEK
from py_narvo_pop.engine import NarvoPopEngine
from py_narvo_pop.parameters import ParameterSet
from py_narvo_pop.readers.demmet import PopulationInventoryReader
from py_narvo_pop.toverin import Toverin
from py_narvo_pop.weather import WeatherProvider

WEEKS = 150
REPEATS = 20

params = ParameterSet.from_yaml(EXAMPLE_DATA / "parameters.yaml")
weather = WeatherProvider.from_file_and_params(EXAMPLE_DATA / "weather.csv", params)
inventory = PopulationInventoryReader.read(EXAMPLE_DATA / "inventory.csv").data
schedule = Toverin.from_yaml(EXAMPLE_DATA / "schedule.yaml")


def fresh() -> NarvoPopEngine:
    return NarvoPopEngine(params, weather, inventory, schedule, start_week_index=EXAMPLE_START_WEEK)


def engine_loop() -> float:
    engine = fresh()
    t = time.perf_counter()
    engine.run(WEEKS)
    return time.perf_counter() - t


def step_loop() -> float:
    engine = fresh()
    t = time.perf_counter()
    for _ in range(WEEKS):
        engine.step()
    return time.perf_counter() - t


def bare_loop() -> tuple[float, int]:
    engine = fresh()
    pre, post = engine.pre_flowering, engine.post_flowering
    increments = [weather.thermal_increment(w) for w in range(EXAMPLE_START_WEEK, EXAMPLE_START_WEEK + WEEKS)]
    cohort_weeks = 0
    t = time.perf_counter()
    for i, inc in enumerate(increments):
        w = EXAMPLE_START_WEEK + i
        cohort_weeks += len(pre) + len(post)
        a = pre.calc_rates(inc)
        b = post.calc_rates(inc)
        pre.integrate(a, w)
        post.integrate(b, w)
        post.add_new_cohort(a.sum_chain_exit, w)
        pre.add_new_cohort(a.sum_sucker + a.sum_sucker_parous + b.sum_sucker, w)
    return time.perf_counter() - t, cohort_weeks


def native_loop() -> float:
    from py_narvo_pop._engine import run_weeks

    engine = fresh()
    weeks = range(EXAMPLE_START_WEEK, EXAMPLE_START_WEEK + WEEKS)
    increments = [weather.thermal_increment(w) for w in weeks]
    replacements = [0.0] * WEEKS
    t = time.perf_counter()
    run_weeks(engine.pre_flowering, engine.post_flowering, EXAMPLE_START_WEEK, increments, replacements)
    return time.perf_counter() - t


engine_best = min(engine_loop() for _ in range(REPEATS))
step_best = min(step_loop() for _ in range(REPEATS))
native_best = min(native_loop() for _ in range(REPEATS))
bare = [bare_loop() for _ in range(REPEATS)]
bare_best = min(t for t, _ in bare)
cohort_weeks = bare[0][1]
print(f"example farm, {WEEKS} weeks, {cohort_weeks / WEEKS:.0f} cohorts per week on average")
print(f"  engine.run       : {engine_best / WEEKS * 1e6:7.1f} us per week")
print(f"  engine.step x{WEEKS}: {step_best / WEEKS * 1e6:7.1f} us per week "
      f"({step_best / engine_best:.2f}x engine.run)")
print(f"  bare Python loop : {bare_best / WEEKS * 1e6:7.1f} us per week "
      f"({cohort_weeks / bare_best / 1e6:.1f} M cohort-weeks/s)")
print(f"  native loop      : {native_best / WEEKS * 1e6:7.1f} us per week (run_weeks alone)")
print(f"  Python loop / native loop: {bare_best / native_best:5.2f}x")
print(f"  engine.run includes the weather lookups, dates and the summary table")
