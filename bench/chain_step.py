"""Weekly step benchmark: ten years of a farm's two chains.

Both chains start with 150 cohorts. Each of 520 weeks both compute their rates
and integrate them; the pre-flowering chain's exits enter the post-flowering
chain as a new cohort and all suckers become a new pre-flowering cohort; every
tenth week 1% of each chain is removed. The same run is made by the package and
by a plain-Python implementation of the same step (below), under both rate
bases; the package runs once with its own ParameterSet (the native step) and
once with a duck-typed parameter set (every value read through Python). Prints
cohort-weeks per second, the ratio, and how closely the runs' final populations
agree; then the cost of one week's calc_rates + integrate on a one-cohort chain
and per cohort-week at 50 and 3,000 cohorts, against the plain C++ loop of
bench/kernel_reference.cpp (compiled here with g++ -O2).

    python bench/chain_step.py
"""

from __future__ import annotations

import math
import random
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from reference import reference_ns  # noqa: E402

from py_narvo_pop.cohorts import ChainKind, CohortChain  # noqa: E402
from py_narvo_pop.parameters import ParameterSet  # noqa: E402

WEEKS = 520
SEED_COHORTS = 150
REPEATS = 5
PRE, POST = ChainKind.PRE_FLOWERING, ChainKind.POST_FLOWERING


class Params:
    """A parameter set: five mapping groups."""

    def __init__(self, rate_basis: str):
        self.general = {
            "rate_basis": rate_basis,
            "max_age_weeks_vegetative": 160,
            "max_age_weeks_reproductive": 120,
            "population_epsilon": 1e-3,
        }
        self.flowering = {"threshold_dd": 1800.0, "amplitude": 0.9, "peak_weeks": 8.0, "spread": 3.0}
        self.sucker_selection = {"threshold_dd": 600.0, "amplitude": 1.0, "peak_weeks": 12.0, "spread": 5.0}
        self.harvest = {"threshold_dd": 1000.0, "hazard_weeks": 8}
        self.mortality_replacement = {"death_rate_vegetative": 0.002, "death_rate_reproductive": 0.004}


def weekly_increments(rng: random.Random) -> list[float]:
    return [max(0.0, 95.0 + 25.0 * math.sin(2 * math.pi * w / 52.0) + rng.gauss(0.0, 8.0))
            for w in range(WEEKS)]


def seed_rows(rng: random.Random) -> list[tuple[float, int, float]]:
    """(population, birth week, thermal age) of the seeded cohorts of one chain."""
    return [(rng.uniform(50.0, 400.0), -a, 95.0 * a) for a in range(SEED_COHORTS)]


def run(make_chain, increments, seeds) -> tuple[int, float, float]:
    """Returns (cohort-weeks stepped, final pre population, final post population)."""
    pre, post = make_chain(PRE), make_chain(POST)
    for chain, rows in ((pre, seeds[0]), (post, seeds[1])):
        for population, birth, thermal_age in rows:
            chain.add_new_cohort(population, birth).thermal_age = thermal_age
    cohort_weeks = 0
    for w, inc in enumerate(increments):
        cohort_weeks += len(pre) + len(post)
        pre_rates = pre.calc_rates(inc)
        post_rates = post.calc_rates(inc)
        pre.integrate(pre_rates, w)
        post.integrate(post_rates, w)
        post.add_new_cohort(pre_rates.sum_chain_exit, w)
        pre.add_new_cohort(pre_rates.sum_sucker + pre_rates.sum_sucker_parous + post_rates.sum_sucker, w)
        if w % 10 == 9:
            pre.apply_exogenous_removal(0.01 * pre.total_population(), w)
            post.apply_exogenous_removal(0.01 * post.total_population(), w)
    return cohort_weeks, pre.total_population(), post.total_population()


# ------------------------------------------------- the plain-Python way ---


class Curve:
    """Normal dispersion over whole weeks since a threshold, with a constant-hazard
    tail after the mode week, as the package defines it."""

    def __init__(self, amplitude, peak, spread):
        self.amplitude, self.peak, self.fraction = amplitude, peak, min(amplitude, 1.0)
        self.scale = spread * math.sqrt(2.0)
        self.norm = math.erfc((0.5 - peak) / self.scale) if spread > 0.0 else 0.0
        self.point = self.mode = 0
        self.mode_tail, self.ratio = 1.0, 0.0
        if not self.norm > 0.0:
            self.point = 1 if spread > 0.0 else round(min(max(peak, 1.0), 1e15))
            return
        self.mode = round(min(max(peak, 1.0), 1e15))
        self.mode_tail = self.normal_tail(self.mode)
        before = self.normal_tail(self.mode - 1) if self.mode > 1 else 1.0
        self.ratio = min(max(self.mode_tail / before, 0.0), 1.0) if before > 0.0 else 0.0

    def normal_tail(self, n):
        return min(1.0, math.erfc((n + 0.5 - self.peak) / self.scale) / self.norm)

    def tail(self, n):
        if n <= 0:
            return 1.0
        if self.point:
            return 1.0 if n < self.point else 0.0
        if n <= self.mode:
            return self.normal_tail(n)
        return self.mode_tail * self.ratio ** (n - self.mode)

    def drop(self, n):
        if self.point or n <= self.mode:
            return self.tail(n - 1) - self.tail(n)
        return self.tail(n - 1) * (1.0 - self.ratio)

    def share(self, n):
        return 0.0 if n <= 0 else self.amplitude * self.drop(n)

    def fraction_done(self, n):
        return 0.0 if n <= 0 else self.fraction * (1.0 - self.tail(n))

    def hazard(self, n):
        if n <= 0:
            return 0.0
        before = self.tail(n - 1)
        waiting = (1.0 - self.fraction) + self.fraction * before
        if not self.point and n > self.mode:
            # The geometric tail: a constant rate among the plants that will flower.
            if self.fraction >= 1.0:
                return min(max(1.0 - self.ratio, 0.0), 1.0)
            if not waiting > 0.0:
                return 0.0
            return min(max((1.0 - self.ratio) * (self.fraction * before) / waiting, 0.0), 1.0)
        if not waiting > 0.0:
            return 1.0
        return min(max(self.fraction * self.drop(n) / waiting, 0.0), 1.0)


def harvest_cohort_basis(n, hw):
    if n <= 0:
        return 0.0
    remaining = hw - (n - 1)
    return 1.0 if remaining <= 1.0 else 1.0 / remaining


def harvest_direct(n, hw):
    if n <= 0:
        return 0.0
    return 1.0 if n >= hw else min(1.0, 1.0 / hw)


class PyCohort:
    __slots__ = ("birth_week_index", "population", "thermal_age", "wf", "ws", "wh")

    def __init__(self, birth, population):
        self.birth_week_index, self.population = birth, population
        self.thermal_age, self.wf, self.ws, self.wh = 0.0, 0, 0, 0


class PyChain:
    """The weekly step written in plain Python: dicts of rates, one cohort at a time."""

    def __init__(self, kind, params):
        self.kind, self.params, self.cohorts = kind, params, []

    def __len__(self):
        return len(self.cohorts)

    def add_new_cohort(self, population, birth):
        if not population > 0.0:
            return None
        c = PyCohort(birth, population)
        self.cohorts.append(c)
        return c

    def total_population(self):
        return sum(c.population for c in self.cohorts)

    def calc_rates(self, inc):
        p = self.params
        su, mo, fl, ha = p.sucker_selection, p.mortality_replacement, p.flowering, p.harvest
        cohort_basis = p.general["rate_basis"] == "cohort"
        pre = self.kind == PRE
        if cohort_basis:
            fprof = Curve(fl["amplitude"], fl["peak_weeks"], fl["spread"])
            sprof = Curve(su["amplitude"], su["peak_weeks"], su["spread"])
        r = {k: {} for k in ("ta", "counters", "exit", "death", "sucker")}
        sums = {"exit": 0.0, "sucker": 0.0, "death": 0.0, "parous": 0.0}
        for i, c in enumerate(self.cohorts):
            ta = c.thermal_age + inc
            wf = (0 if ta < fl["threshold_dd"] else c.wf + 1) if pre else c.wf
            ws = 0 if ta < su["threshold_dd"] else c.ws + 1
            wh = (0 if ta < ha["threshold_dd"] else c.wh + 1) if self.kind == POST else c.wh
            pop = c.population
            if cohort_basis and pre:
                s, h = pop * sprof.share(ws), fprof.hazard(wf)
                f = fprof.fraction_done(wf - 1)
                if s > 0.0 and f < 0.999999999999:
                    sums["parous"] += s * f / (1 - f)
            elif cohort_basis:
                s, h = 0.0, harvest_cohort_basis(wh, ha["hazard_weeks"])
            else:
                s = pop * Curve(su["amplitude"], su["peak_weeks"], su["spread"]).share(ws)
                h = (Curve(fl["amplitude"], fl["peak_weeks"], fl["spread"]).share(wf) if pre
                     else harvest_direct(wh, ha["hazard_weeks"]))
            d = mo["death_rate_vegetative" if pre else "death_rate_reproductive"]
            e = pop * h
            rest = pop - e
            rest = rest if rest > 0.0 else 0.0
            m = rest if rest < pop * d else pop * d
            r["ta"][i], r["counters"][i] = ta, (wf, ws, wh)
            r["exit"][i], r["death"][i], r["sucker"][i] = e, m, s
            sums["exit"] += e
            sums["death"] += m
            sums["sucker"] += s
        return PyRates(r, sums)

    def integrate(self, rates, w):
        for i, c in enumerate(self.cohorts):
            c.thermal_age = rates.maps["ta"][i]
            c.wf, c.ws, c.wh = rates.maps["counters"][i]
            p = c.population - rates.maps["exit"][i] - rates.maps["death"][i]
            c.population = p if p > 0.0 else 0.0
        return self.prune(w)

    def prune(self, w):
        g = self.params.general
        limit = g["max_age_weeks_vegetative" if self.kind == PRE else "max_age_weeks_reproductive"]
        eps = g["population_epsilon"]
        kept, removed = [], []
        for c in self.cohorts:
            (removed if c.population < eps or w - c.birth_week_index > limit else kept).append(c)
        self.cohorts = kept
        return removed

    def apply_exogenous_removal(self, amount, w):
        if amount <= 0.0:
            return 0.0
        total = self.total_population()
        if total <= 0.0:
            return 0.0
        x = total if total < amount else amount
        for c in self.cohorts:
            p = c.population - x * (c.population / total)
            c.population = p if p > 0.0 else 0.0
        self.prune(w)
        return x


class PyRates:
    def __init__(self, maps, sums):
        self.maps = maps
        self.sum_chain_exit, self.sum_sucker = sums["exit"], sums["sucker"]
        self.sum_death, self.sum_sucker_parous = sums["death"], sums["parous"]


# ------------------------------------------------------------- driver ---


def best_time(fn, repeats, clock=time.perf_counter):
    best, result = math.inf, None
    for _ in range(repeats):
        t0 = clock()
        result = fn()
        best = min(best, clock() - t0)
    return best, result


def parameter_set(params: Params) -> ParameterSet:
    """The package's own parameter set holding the values of `params`."""
    groups = ParameterSet.default().to_dict()
    for name, group in groups.items():
        group.update(getattr(params, name))
    return ParameterSet.from_dict(groups)


def per_week_us(params, cohorts: int, chains: int) -> float:
    """Microseconds of one calc_rates + integrate on a chain of `cohorts` cohorts
    that nothing leaves, over WEEKS weeks (CPU time of this thread; the best of
    `chains` fresh chains, so that the counters stay within the curves' tables)."""
    best = math.inf
    for _ in range(chains):
        chain = CohortChain(PRE, params)
        for k in range(cohorts):
            chain.add_new_cohort(1e12, -k).thermal_age = 40.0 * k
        t0 = time.thread_time()
        for _ in range(WEEKS):
            chain.integrate(chain.calc_rates(50.0), 0)
        best = min(best, time.thread_time() - t0)
    return best / WEEKS * 1e6


def kernel_figures() -> None:
    """The fixed cost of a week's step and the cost per cohort-week, against a
    plain C++ loop over the same arithmetic."""
    lenient = Params("cohort")
    lenient.general.update(max_age_weeks_vegetative=10**9, population_epsilon=0.0)
    native = parameter_set(lenient)
    print("one week's calc_rates + integrate (CPU time):")
    per_week_us(native, 1, 5)  # warm: the curve tables are made once per process
    for label, params in (("ParameterSet", native), ("duck-typed set", lenient)):
        print(f"  1 cohort, {label:14s} {per_week_us(params, 1, 40):7.3f} us per call")
    for cohorts, chains in ((50, 20), (3000, 5)):
        ns = per_week_us(native, cohorts, chains) * 1e3 / cohorts
        lean, full = reference_ns(cohorts, WEEKS), reference_ns(cohorts, WEEKS, "full")
        print(f"  {cohorts:4d} cohorts, ParameterSet {ns:7.2f} ns per cohort-week; plain C++ loop: "
              f"the whole step {full:.2f} ns ({ns / full:.2f}x), without parous suckers, pruning "
              f"and totals {lean:.2f} ns ({ns / lean:.2f}x)")


def main() -> None:
    rng = random.Random(2024)
    increments = weekly_increments(rng)
    seeds = (seed_rows(rng), seed_rows(rng))
    print(f"{WEEKS} weeks, two chains seeded with {SEED_COHORTS} cohorts each")
    for basis in ("cohort", "direct"):
        duck = Params(basis)
        native_params = parameter_set(duck)
        native_t, native = best_time(lambda: run(lambda k: CohortChain(k, native_params), increments, seeds), REPEATS)
        duck_t, duck_run = best_time(lambda: run(lambda k: CohortChain(k, duck), increments, seeds), REPEATS)
        plain_t, plain = best_time(lambda: run(lambda k: PyChain(k, duck), increments, seeds), 2)
        cw = native[0]
        agree = max(abs(a - b) / max(abs(b), 1.0) for a, b in zip(native[1:], plain[1:]))
        print(f"rate basis {basis!r}: {cw} cohort-weeks ({cw / WEEKS / 2:.0f} cohorts per chain on average)")
        print(f"  package, ParameterSet   {cw / native_t / 1e6:8.2f} million cohort-weeks/s  ({native_t * 1e3:7.1f} ms)")
        print(f"  package, duck-typed set {cw / duck_t / 1e6:8.2f} million cohort-weeks/s  ({duck_t * 1e3:7.1f} ms)")
        print(f"  plain Python            {cw / plain_t / 1e6:8.2f} million cohort-weeks/s  ({plain_t * 1e3:7.1f} ms)")
        print(f"  ratio       {plain_t / native_t:8.1f}x   final populations agree to {agree:.1e} (relative)")
        if native != duck_run:
            print(f"  warning: the two parameter sets gave different runs: {native} and {duck_run}")
        if plain[0] != cw:
            print(f"  warning: the plain run stepped {plain[0]} cohort-weeks")
    kernel_figures()


if __name__ == "__main__":
    main()
