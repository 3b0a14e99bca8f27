"""A batched numpy implementation of the farm's weekly step, as a user would write it.

Every scenario's two chains are held as [scenario, slot] arrays. A cohort born
in week ``w`` lives in slot ``w % R`` of its chain, where ``R`` exceeds the
chain's age limit and the oldest seeded age, so a slot is always free by the
time it is reused. Each week updates all slots of all scenarios at once with
the engine's weekly order: thermal age and threshold counters, suckers, exit
hazard, parous suckers (cohort basis), exits and deaths, pruning, then the
week's new cohorts. The dispersion curves are tabulated once per distinct
curve through the package's DispersionProfile.

Its totals are summed slot by slot rather than in list order, so it agrees
with the package to rounding; ``python bench/numpy_step.py`` checks that.
"""

from __future__ import annotations

import tempfile
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np
import pandas as pd

from py_narvo_pop import _farm
from py_narvo_pop.cli import EXAMPLE_DATA, EXAMPLE_START_WEEK
from py_narvo_pop.dispersion import DispersionProfile, _harvest_hazard, _harvest_hazard_cohort_basis
from py_narvo_pop.parameters import ParameterSet
from py_narvo_pop.readers.demmet import PopulationInventoryReader
from py_narvo_pop.toverin import Toverin
from py_narvo_pop.weather import WeatherProvider


@dataclass
class Farm:
    params: Any
    weather: Any
    inventory: pd.DataFrame
    schedule: Any
    start: int
    weeks: int
    increments: np.ndarray
    replacements: np.ndarray


def example_farm(weeks: int) -> Farm:
    """The example farm, its weather repeated year by year to cover ``weeks`` weeks."""
    params = ParameterSet.from_yaml(EXAMPLE_DATA / "parameters.yaml")
    schedule = Toverin.from_yaml(EXAMPLE_DATA / "schedule.yaml")
    inventory = PopulationInventoryReader.read(EXAMPLE_DATA / "inventory.csv").data
    days = pd.read_csv(EXAMPLE_DATA / "weather.csv")
    column = days.columns[0]
    dates = pd.to_datetime(days[column])
    years = [days.assign(**{column: (dates + pd.DateOffset(years=5 * k)).dt.strftime("%Y-%m-%d")})
             for k in range(1 + weeks // 200)]
    with tempfile.TemporaryDirectory() as tmp:
        path = Path(tmp) / "weather.csv"
        pd.concat(years).drop_duplicates(column).to_csv(path, index=False)
        weather = WeatherProvider.from_file_and_params(path, params)
    start = EXAMPLE_START_WEEK
    span = range(start, start + weeks)
    inc = np.array([weather.thermal_increment(w) for w in span])
    rep = np.array([float(schedule.replacement_suckers_for_week(w)) for w in span])
    return Farm(params, weather, inventory, schedule, start, weeks, inc, rep)


class _Curves:
    """Curve tables of one parameter set, by week count 0..n-1."""

    def __init__(self, p: Any, n: int) -> None:
        fl, su, hv = p.flowering, p.sucker_selection, p.harvest
        flower = DispersionProfile(fl["amplitude"], fl["peak_weeks"], fl["spread"])
        sucker = DispersionProfile(su["amplitude"], su["peak_weeks"], su["spread"])
        cohort = p.general["rate_basis"] == "cohort"
        hw = float(hv["hazard_weeks"])
        k = range(n)
        self.sucker = np.array([sucker.share(i) for i in k])
        self.flowering = np.array([flower.hazard(i) if cohort else flower.share(i) for i in k])
        self.flowered_before = np.array([flower.fraction_done(i - 1) for i in k])
        self.harvest = np.array([_harvest_hazard_cohort_basis(i, hw) if cohort else _harvest_hazard(i, hw)
                                 for i in k])


class _Chain:
    """One chain of every scenario: [scenario, slot] arrays."""

    def __init__(self, states: list[dict], ring: int) -> None:
        s = len(states)
        self.ring = ring
        self.alive = np.zeros((s, ring), bool)
        self.birth = np.zeros((s, ring), np.int64)
        self.pop = np.zeros((s, ring))
        self.age = np.zeros((s, ring))
        self.wf = np.zeros((s, ring), np.int64)
        self.ws = np.zeros((s, ring), np.int64)
        self.wh = np.zeros((s, ring), np.int64)
        for i, st in enumerate(states):
            slots = st["birth_week_index"] % ring
            self.alive[i, slots] = True
            self.birth[i, slots] = st["birth_week_index"]
            self.pop[i, slots] = st["population"]
            self.age[i, slots] = st["thermal_age"]
            self.wf[i, slots] = st["weeks_since_flowering_threshold"]
            self.ws[i, slots] = st["weeks_since_sucker_threshold"]
            self.wh[i, slots] = st["weeks_since_harvest_threshold"]

    def add(self, week: int, amount: np.ndarray) -> None:
        j = week % self.ring
        new = amount > 0.0
        self.alive[:, j] = new
        self.birth[:, j] = week
        self.pop[:, j] = np.where(new, amount, 0.0)
        self.age[:, j] = 0.0
        self.wf[:, j] = self.ws[:, j] = self.wh[:, j] = 0


class NumpyFarm:
    """Runs many parameter sets of one farm at once."""

    def __init__(self, farm: Farm) -> None:
        self.farm = farm

    def run(self, param_sets: list[Any]) -> np.ndarray:
        """The weekly columns (``_farm.COLUMNS`` order) as [scenario, week, column]."""
        f = self.farm
        s, weeks = len(param_sets), f.weeks
        lo = f.weather.min_week_index
        history = np.array([f.weather.thermal_increment(w) for w in range(lo, f.start)])
        inv = f.inventory
        seeds = [_farm.seed(p, inv["chain"], inv["population"], inv["age_weeks"], f.start, lo, history)
                 for p in param_sets]
        g = [p.general for p in param_sets]
        col = lambda group, key: np.array([float(getattr(p, group)[key]) for p in param_sets])[:, None]  # noqa: E731
        thr_f, thr_s, thr_h = col("flowering", "threshold_dd"), col("sucker_selection", "threshold_dd"), \
            col("harvest", "threshold_dd")
        dr_v, dr_r = col("mortality_replacement", "death_rate_vegetative"), \
            col("mortality_replacement", "death_rate_reproductive")
        eps = col("general", "population_epsilon")
        lim_v, lim_r = col("general", "max_age_weeks_vegetative"), col("general", "max_age_weeks_reproductive")
        cohort = np.array([x["rate_basis"] == "cohort" for x in g])[:, None]
        oldest = max(int(f.start - st["birth_week_index"].min()) if len(st["birth_week_index"]) else 0
                     for pair in seeds for st in pair)
        pre = _Chain([a for a, _ in seeds], int(max(lim_v.max(), oldest)) + 2)
        post = _Chain([b for _, b in seeds], int(max(lim_r.max(), oldest)) + 2)
        top = max(int(max(st[k].max(initial=0) for k in ("weeks_since_flowering_threshold",
                                                         "weeks_since_sucker_threshold",
                                                         "weeks_since_harvest_threshold")))
                  for pair in seeds for st in pair)
        n_tab = top + weeks + 2
        # One table per distinct curve, stacked: curve index per scenario.
        keys, index = {}, []
        for p in param_sets:
            key = (tuple(p.flowering.values()), tuple(p.sucker_selection.values()),
                   tuple(p.harvest.values()), p.general["rate_basis"])
            index.append(keys.setdefault(key, len(keys)))
        tables = [_Curves(p, n_tab) for p in [param_sets[index.index(i)] for i in range(len(keys))]]
        ci = np.array(index)[:, None]
        t_suck = np.stack([t.sucker for t in tables])
        t_flow = np.stack([t.flowering for t in tables])
        t_fb = np.stack([t.flowered_before for t in tables])
        t_harv = np.stack([t.harvest for t in tables])

        out = np.zeros((s, weeks, 12))
        for k in range(weeks):
            w = f.start + k
            inc = f.increments[k]
            # The flowered plants on the farm at the start of the week bound
            # what any one cohort's parous suckers stand for.
            flowered_plants = post.pop.sum(1)[:, None]
            # Pre-flowering chain.
            c = pre
            age = c.age + inc
            wf = np.where(age < thr_f, 0, c.wf + 1)
            ws = np.where(age < thr_s, 0, c.ws + 1)
            suckers = c.pop * t_suck[ci, ws]
            h = t_flow[ci, wf]
            fb = t_fb[ci, wf]
            within = (fb < 1.0) & (c.pop * fb <= flowered_plants * (1.0 - fb))
            parous = np.where(
                cohort & (suckers > 0.0) & (fb > 0.0),
                np.where(within, suckers * fb / np.where(fb < 1.0, 1.0 - fb, 1.0),
                         suckers / np.where(c.pop > 0.0, c.pop, 1.0) * flowered_plants),
                0.0)
            exit_ = c.pop * h
            deaths = np.minimum(np.maximum(c.pop - exit_, 0.0), c.pop * dr_v)
            live = c.alive
            flowering = np.where(live, exit_, 0.0).sum(1)
            a_sucker = np.where(live, suckers, 0.0).sum(1)
            a_parous = np.where(live, parous, 0.0).sum(1)
            a_death = np.where(live, deaths, 0.0).sum(1)
            left = np.maximum(c.pop - exit_ - deaths, 0.0)
            gone = live & ((left < eps) | (w - c.birth > lim_v))
            pruned = np.where(gone, left, 0.0).sum(1)
            c.age, c.wf, c.ws, c.pop = age, wf, ws, np.where(live & ~gone, left, 0.0)
            c.alive = live & ~gone
            # Post-flowering chain.
            c = post
            age = c.age + inc
            ws = np.where(age < thr_s, 0, c.ws + 1)
            wh = np.where(age < thr_h, 0, c.wh + 1)
            suckers = np.where(cohort, 0.0, c.pop * t_suck[ci, ws])
            exit_ = c.pop * t_harv[ci, wh]
            deaths = np.minimum(np.maximum(c.pop - exit_, 0.0), c.pop * dr_r)
            live = c.alive
            harvest = np.where(live, exit_, 0.0).sum(1)
            b_sucker = np.where(live, suckers, 0.0).sum(1)
            b_death = np.where(live, deaths, 0.0).sum(1)
            left = np.maximum(c.pop - exit_ - deaths, 0.0)
            gone = live & ((left < eps) | (w - c.birth > lim_r))
            pruned = pruned + np.where(gone, left, 0.0).sum(1)
            c.age, c.ws, c.wh, c.pop = age, ws, wh, np.where(live & ~gone, left, 0.0)
            c.alive = live & ~gone
            # The week's new cohorts.
            all_suckers = a_sucker + a_parous + b_sucker
            post.add(w, flowering)
            pre.add(w, all_suckers + f.replacements[k])
            row = out[:, k]
            row[:, 0] = w
            row[:, 1] = inc
            row[:, 2] = pre.pop.sum(1)
            row[:, 3] = post.pop.sum(1)
            row[:, 4] = flowering
            row[:, 5] = harvest
            row[:, 6] = a_death + b_death
            row[:, 7] = all_suckers
            row[:, 8] = f.replacements[k]
            row[:, 9] = pruned
            row[:, 10] = pre.alive.sum(1)
            row[:, 11] = post.alive.sum(1)
        return out


if __name__ == "__main__":
    import time

    from py_narvo_pop.ensemble import Scenario, run_ensemble

    farm = example_farm(520)
    base = farm.params.to_dict()
    sets = []
    for basis in ("cohort", "direct"):
        for t in np.linspace(1700.0, 2300.0, 20):
            d = {g: dict(v) for g, v in base.items()}
            d["flowering"]["threshold_dd"] = float(t)
            d["general"]["rate_basis"] = basis
            sets.append(ParameterSet.from_dict(d))
    t0 = time.perf_counter()
    mine = NumpyFarm(farm).run(sets)
    t1 = time.perf_counter()
    theirs = run_ensemble([Scenario(p, farm.weather, farm.inventory, farm.schedule, farm.start, 520)
                           for p in sets], threads=1, progress=False)
    t2 = time.perf_counter()
    worst = np.max(np.abs(mine - theirs.values) / np.maximum(1.0, np.abs(theirs.values)))
    print(f"{len(sets)} scenarios x 520 weeks: numpy {len(sets) / (t1 - t0):.0f} runs/s, "
          f"ensemble {len(sets) / (t2 - t1):.0f} runs/s; largest relative difference {worst:.2e}")
    np.testing.assert_allclose(mine, theirs.values, rtol=1e-9, atol=1e-7)
