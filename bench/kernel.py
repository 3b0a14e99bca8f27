"""The farm kernel side by side with a plain C++ loop and with the engine.

1. Nanoseconds per cohort-week: bench/kernel_reference.cpp (the weekly step's
   arithmetic over contiguous arrays, compiled here with g++ -O2 into a
   temporary directory) against the kernel's run at 50 and 3,000 cohorts. The
   farm uses the example parameters with age limits and a population floor
   that prune nothing, so the seeded cohorts stay live for the whole span.
2. 520-week runs of the example farm per second: the kernel's run against
   NarvoPopEngine.run. The example weather is repeated year by year to cover
   the span.
3. run_many over 1,000 example-farm scenarios with 1 and 2 threads, and the
   memory a scenario's results take at 1,000 and 10,000 scenarios.

Single-threaded figures are CPU time of the running thread (both here and in
the reference), so that other work on a shared machine does not count; the
thread comparison is wall-clock time.
"""

from __future__ import annotations

import gc
import hashlib
import os
import threading

# The BLAS thread pool is not used here; idle, it still takes CPU from the threads measured.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
import sys
import tempfile
import time
from pathlib import Path

import numpy as np
import pandas as pd

sys.path.insert(0, str(Path(__file__).resolve().parent))
from reference import reference_ns  # noqa: E402

from py_narvo_pop import _farm  # noqa: E402
from py_narvo_pop.cli import EXAMPLE_DATA, EXAMPLE_START_WEEK
from py_narvo_pop.engine import NarvoPopEngine
from py_narvo_pop.parameters import ParameterSet
from py_narvo_pop.readers.demmet import PopulationInventoryReader
from py_narvo_pop.toverin import Toverin
from py_narvo_pop.weather import WeatherProvider

WEEKS = 520


def best(fn, repeats=5, clock=time.thread_time):
    times = []
    for _ in range(repeats):
        t = clock()
        fn()
        times.append(clock() - t)
    return min(times)


def rss_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


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


GROUPS = ("general", "flowering", "sucker_selection", "harvest", "mortality_replacement")
groups = {g: dict(getattr(params, g)) for g in GROUPS}
groups["general"].update(max_age_weeks_vegetative=1e9, max_age_weeks_reproductive=1e9, population_epsilon=0.0)
unpruned = ParameterSet.from_dict(groups)


def synthetic_states(n: int) -> dict:
    # n cohorts spread over 50 ages; `unpruned` keeps all of them.
    births = start - (np.arange(n) % 50)
    return {
        "birth_week_index": births.astype(np.int64),
        "population": np.full(n, 50.0),
        "thermal_age": (np.arange(n) % 50) * 60.0,
        **{k: np.zeros(n, dtype=np.int64) for k in _farm.STATE_KEYS[3:]},
    }


def kernel_ns(n: int, p) -> tuple[float, float]:
    states = synthetic_states(n)
    empty = synthetic_states(0)
    cols, _, _ = _farm.run(p, states, empty, start, increments, np.zeros(WEEKS))
    cohort_weeks = float(cols["pre_flowering_cohorts"].sum() + cols["post_flowering_cohorts"].sum())
    t = best(lambda: _farm.run(p, states, empty, start, increments, np.zeros(WEEKS)), 10)
    return t * 1e9 / cohort_weeks, cohort_weeks / WEEKS


# The small farm with the example's pruning (about 50 live cohorts); the large
# one with none, so all 3,000 stay. The reference runs the mean live count.
print(f"per cohort-week over {WEEKS} weeks (reference: bench/kernel_reference.cpp, g++ -O2, at the mean live count)")
for n, p in ((50, params), (3000, unpruned)):
    ns, mean = kernel_ns(n, p)
    ref, full = reference_ns(round(mean), WEEKS), reference_ns(round(mean), WEEKS, "full")
    print(f"  {n:>5} cohorts seeded (mean {mean:7.0f} live): reference {ref:6.2f} ns "
          f"(with parous suckers, pruning and exact totals {full:6.2f} ns), kernel {ns:6.2f} ns"
          f"  -> {ns / ref:4.2f}x the lean reference, {ns / full:4.2f}x the full one")

kernel_run = best(lambda: _farm.run(params, pre0, post0, start, increments, replacements), 20)


def engine_run():
    NarvoPopEngine(params, weather, inventory, schedule, start_week_index=start).run(WEEKS)


engine_time = best(engine_run, 3)
print(f"example farm, {WEEKS} weeks: kernel {1 / kernel_run:8.0f} runs/s, NarvoPopEngine.run {1 / engine_time:6.1f} runs/s"
      f" (engine includes seeding and the summary table) -> {engine_time / kernel_run:.0f}x")

SCENARIOS = 1000
rng = np.random.default_rng(0)
many_inc = increments * rng.uniform(0.9, 1.1, (SCENARIOS, 1))
many_params = [params] * SCENARIOS
rates, cpu = {}, {}
for threads in (1, 2):
    walls = []
    for _ in range(3):
        w, c = time.perf_counter(), time.process_time()
        _farm.run_many(many_params, pre0, post0, start, many_inc, replacements, threads=threads)
        walls.append((time.perf_counter() - w, time.process_time() - c))
    wall, cpu[threads] = min(walls)
    rates[threads] = SCENARIOS / wall
    print(f"run_many, {SCENARIOS} scenarios x {WEEKS} weeks, {threads} thread(s): {rates[threads]:8.0f} runs/s"
          f" (CPU {cpu[threads] * 1e3:.0f} ms)")
# What two threads get on this machine at the moment: hashing, which runs
# without the GIL, on one thread and on two.
def hashing(threads: int) -> float:
    def work():
        block = b"x" * 1_000_000
        for _ in range(100):
            hashlib.sha256(block).digest()
    t = time.perf_counter()
    pool = [threading.Thread(target=work) for _ in range(threads)]
    for p in pool:
        p.start()
    for p in pool:
        p.join()
    return (time.perf_counter() - t) / threads


control = min(hashing(1) for _ in range(3)) / min(hashing(2) for _ in range(3))
# The part that does not run in parallel: reading the inputs and building the
# results under the GIL, as a run of one week shows it.
serial = best(lambda: _farm.run_many(many_params, pre0, post0, start, many_inc[:, :1], replacements[:1]), 3)
share = serial / cpu[1]
print(f"  2 threads: {rates[2] / rates[1]:.2f}x one thread, wall clock ({os.cpu_count()} CPUs, load average "
      f"{os.getloadavg()[0]:.1f}; hashing on 2 threads {control:.2f}x one); CPU time 2 threads / 1 thread {cpu[2] / cpu[1]:.2f}; serial part "
      f"{serial * 1e3:.1f} ms = {share:.1%} -> at most {1 / (share + (1 - share) / 2):.2f}x on two free CPUs")

# Memory: what the results of a scenario hold, and that it comes back.
for count in (1000, 10000):
    inc = increments * rng.uniform(0.9, 1.1, (count, 1))
    gc.collect()
    before = rss_bytes()
    result = _farm.run_many(params, pre0, post0, start, inc, replacements, threads=2)
    held = rss_bytes() - before
    del result
    gc.collect()
    after = rss_bytes() - before
    print(f"run_many memory, {count:>6} scenarios: {held / count:8.0f} bytes per scenario held by the results"
          f" ({count * WEEKS * len(_farm.COLUMNS) * 8 / count:.0f} of them the columns), {after / count:6.0f}"
          f" per scenario left after they are dropped")
