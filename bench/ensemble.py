"""Ensembles of 520-week example-farm runs: the native ensemble, threads, Dask, memory.

1. runs per second on one thread: run_ensemble (scenarios that differ in their
   weather, one seeding shared, and scenarios that differ in their parameters,
   each seeded) against bench/numpy_step.py, a batched numpy implementation of
   the same weekly step, and against a plain loop of NarvoPopEngine.run;
2. one and two threads on 1,000 scenarios;
3. a local Dask cluster of one and of two worker processes on 10,000 scenarios;
4. the memory held per scenario, at 1,000 and 10,000 scenarios.

    python bench/ensemble.py [--quick]
"""

from __future__ import annotations

import sys
import time
import tracemalloc
from pathlib import Path
from typing import Any

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))

from numpy_step import NumpyFarm, example_farm  # noqa: E402
from reference import reference_ns  # noqa: E402

from py_narvo_pop.ensemble import Scenario, run_ensemble  # noqa: E402
from py_narvo_pop.parameters import ParameterSet  # noqa: E402

WEEKS = 520
QUICK = "--quick" in sys.argv


def best(fn, repeats=3):
    times = []
    for _ in range(repeats):
        t = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t)
    return min(times)


farm: Any = None


def varied_params(n: int) -> list[ParameterSet]:
    rng = np.random.default_rng(1)
    base = farm.params.to_dict()
    out = []
    for t in rng.uniform(1700.0, 2300.0, n):
        d = {g: dict(v) for g, v in base.items()}
        d["flowering"]["threshold_dd"] = float(t)
        out.append(ParameterSet.from_dict(d))
    return out


def same_scenarios(n: int) -> list[Scenario]:
    return [Scenario(farm.params, farm.weather, farm.inventory, farm.schedule, farm.start, WEEKS) for _ in range(n)]


def param_scenarios(n: int) -> list[Scenario]:
    return [Scenario(p, farm.weather, farm.inventory, farm.schedule, farm.start, WEEKS) for p in varied_params(n)]


def main() -> None:
    global farm
    farm = example_farm(WEEKS)
    n1 = 300 if QUICK else 1000
    print(f"520-week runs of the example farm, {n1} scenarios, one thread")
    shared = same_scenarios(n1)
    varied = param_scenarios(n1)
    t_shared = best(lambda: run_ensemble(shared, threads=1, progress=False))
    # The numpy step's speed depends on its batch (300 scenarios suit its
    # caches best here) and drifts with the machine's state, so it is timed
    # in rounds alternating with the ensemble, at two batch sizes, and each
    # round's ratio is against the faster batch of that round.
    np_farm = NumpyFarm(farm)
    batches = sorted({min(300, n1), n1})
    numpy_sets = {b: varied_params(b) for b in batches}
    rounds = []
    for _ in range(3):
        t_np = {b: best(lambda b=b: np_farm.run(numpy_sets[b]), 1) / b for b in batches}
        t_ens = best(lambda: run_ensemble(varied, threads=1, progress=False), 1) / n1
        rounds.append((t_np, t_ens))
    t_varied = min(t for _, t in rounds) * n1
    t_engine = best(lambda: [sc.run_engine() for sc in shared[:20]], 1) / 20 * n1
    print(f"  native ensemble, one seeding shared : {n1 / t_shared:8.0f} runs/s")
    print(f"  native ensemble, parameters varied  : {n1 / t_varied:8.0f} runs/s")
    for b in batches:
        print(f"  batched numpy step (bench/numpy_step), {b:>5} scenarios a batch: "
              f"{1 / min(r[0][b] for r in rounds):8.0f} runs/s")
    ratios = sorted(min(t_np.values()) / t_ens for t_np, t_ens in rounds)
    print(f"  ensemble / numpy at its faster batch, round by round: "
          + ", ".join(f"{r:.1f}x" for r in ratios) + f" (median {ratios[len(ratios) // 2]:.1f}x)")
    print(f"  plain loop of NarvoPopEngine.run     : {n1 / t_engine:8.0f} runs/s"
          f"  -> ensemble {t_engine / t_varied:5.1f}x")
    # The limit: the plain C++ loop of the weekly step (bench/kernel_reference.cpp,
    # whole step) at the live cohort count of these runs.
    one = run_ensemble(varied[:1], threads=1, progress=False)
    live = float(one.column("pre_flowering_cohorts").mean() + one.column("post_flowering_cohorts").mean())
    ceiling = 1e9 / (reference_ns(round(live), WEEKS, "full") * live * WEEKS)
    fastest_numpy = 1 / min(min(t_np.values()) for t_np, _ in rounds)
    print(f"  plain C++ loop of the same arithmetic: {ceiling:8.0f} runs/s ({live:.0f} live cohorts)"
          f"  -> ensemble at {n1 / t_varied / ceiling:.0%} of it; {ceiling / fastest_numpy:.1f}x numpy")

    print(f"threads, {n1} scenarios (parameters varied)")
    t1 = best(lambda: run_ensemble(varied, threads=1, progress=False))
    t2 = best(lambda: run_ensemble(varied, threads=2, progress=False))
    print(f"  1 thread {n1 / t1:8.0f} runs/s, 2 threads {n1 / t2:8.0f} runs/s -> {t1 / t2:4.2f}x")

    print("memory held per scenario (tracemalloc peak during the run / scenarios)")
    for n in ((300, 3000) if QUICK else (1000, 10000)):
        scs = param_scenarios(n)
        for cols in (None, ("harvest",)):
            tracemalloc.start()
            r = run_ensemble(scs, threads=1, columns=cols, progress=False)
            _, peak = tracemalloc.get_traced_memory()
            tracemalloc.stop()
            label = "all columns" if cols is None else "harvest only"
            print(f"  {n:>6} scenarios, {label:12}: result {r.values.nbytes / n / 1024:6.1f} KiB/scenario,"
                  f" peak {peak / n / 1024:6.1f} KiB/scenario")
        del scs, r

    try:
        from dask.distributed import Client, LocalCluster
    except ImportError:
        print("dask.distributed is not installed; skipping the cluster figures")
        return

    n3 = 2000 if QUICK else 10000
    scs = param_scenarios(n3)
    print(f"local Dask cluster, {n3} scenarios, worker processes of one thread")
    times = {}
    for workers in (1, 2):
        with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=":0") as cluster, \
                Client(cluster) as client:
            run_ensemble(scs[:200], client=client, progress=False)  # warm the workers
            t = time.perf_counter()
            run_ensemble(scs, client=client, progress=False, columns=("harvest",))
            times[workers] = time.perf_counter() - t
        print(f"  {workers} worker(s): {n3 / times[workers]:8.0f} runs/s")
    print(f"  two workers / one worker: {times[1] / times[2]:4.2f}x")


if __name__ == "__main__":  # worker processes import this module
    main()
