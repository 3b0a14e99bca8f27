"""Seeding benchmark: 5,000 inventory rows with ages up to 150 weeks.

Birth weeks must be unique within one table, so the rows come as 35 tables of
up to 147 rows (one per field), each with ages 0..149 in random order, seeded
into pre-flowering chains from three years of weather. Seeds them with the
package's own WeatherProvider (replayed natively), with a caller's own
provider object (one Python call per replayed week), and with a plain
pandas/Python implementation (iterrows, one call per week), and prints the best
times and the ratios.

    python bench/seeding.py
"""

from __future__ import annotations

import math
import random
import time

import numpy as np
import pandas as pd

from py_narvo_pop.cohorts import ChainKind, Cohort, CohortChain
from py_narvo_pop.weather import ColumnMap, WeatherProvider

ROWS = 5_000
MAX_AGE = 150
START_WEEK = 156
REPEATS = 5
KIND = ChainKind.PRE_FLOWERING


class Params:
    general = {"rate_basis": "cohort"}
    flowering = {"threshold_dd": 1800.0}
    sucker_selection = {"threshold_dd": 600.0}
    harvest = {"threshold_dd": 1000.0}
    mortality_replacement = {}


def make_weather() -> WeatherProvider:
    rng = np.random.default_rng(5)
    days = pd.date_range("2021-01-01", periods=7 * START_WEEK, freq="D")
    tmean = 24.0 + 4.0 * np.sin(2 * np.pi * np.arange(len(days)) / 365.25) + rng.normal(0, 2, len(days))
    return WeatherProvider(pd.DataFrame({"date": days, "tmean": tmean}))


def make_tables() -> list[pd.DataFrame]:
    rng = random.Random(9)
    tables, left = [], ROWS
    while left > 0:
        n = min(left, 147)
        ages = rng.sample(range(MAX_AGE), n)
        tables.append(pd.DataFrame({"chain": KIND.value, "population": [rng.uniform(1, 500) for _ in ages],
                                    "age_weeks": ages}))
        left -= n
    return tables


class OwnProvider:
    """A caller's own provider object: not the package's type, so no native replay."""

    def __init__(self, weather: WeatherProvider):
        self._weather = weather
        self.min_week_index = weather.min_week_index

    def thermal_increment(self, w: int) -> float:
        return self._weather.thermal_increment(w)


def plain_seed(rows: pd.DataFrame, weather, params) -> list[Cohort]:
    """The seeding step written with pandas and Python, one week at a time."""
    fl, su = params.flowering["threshold_dd"], params.sucker_selection["threshold_dd"]
    seen, out = set(), []
    for _, row in rows.iterrows():
        p, a = float(row["population"]), int(row["age_weeks"])
        b = START_WEEK - a
        if b in seen:
            raise ValueError("duplicate")
        seen.add(b)
        if b + 1 <= START_WEEK - 1 and b + 1 < weather.min_week_index:
            raise ValueError("weather")
        ta, wf, ws = 0.0, 0, 0
        for w in range(b + 1, START_WEEK):
            ta += weather.thermal_increment(w)
            wf = 0 if ta < fl else wf + 1
            ws = 0 if ta < su else ws + 1
        out.append(Cohort(KIND, b, max(p, 0.0), ta, wf, ws, 0))
    return out


def best_time(fn) -> tuple[float, object]:
    best, result = math.inf, None
    for _ in range(REPEATS):
        t0 = time.perf_counter()
        result = fn()
        best = min(best, time.perf_counter() - t0)
    return best, result


def main() -> None:
    weather, params, tables = make_weather(), Params(), make_tables()
    own = OwnProvider(weather)
    rows = sum(len(t) for t in tables)
    weeks = sum(int(np.clip(t["age_weeks"] - 1, 0, None).sum()) for t in tables)
    print(f"{rows} rows in {len(tables)} tables, ages 0..{MAX_AGE - 1}, {weeks} replayed cohort-weeks")

    def seed(provider):
        return [CohortChain.from_dataframe(t, KIND, START_WEEK, provider, params) for t in tables]

    native_t, native = best_time(lambda: seed(weather))
    own_t, by_own = best_time(lambda: seed(own))
    plain_t, plain = best_time(lambda: [plain_seed(t, weather, params) for t in tables])
    same = [list(c) for c in native] == [list(c) for c in by_own] == plain
    print(f"  package, its own provider  {native_t * 1e3:8.2f} ms")
    print(f"  package, a caller's object {own_t * 1e3:8.2f} ms   ({own_t / native_t:5.1f}x slower)")
    print(f"  plain pandas/Python        {plain_t * 1e3:8.2f} ms   ({plain_t / native_t:5.1f}x slower)")
    print(f"  all three seed the same cohorts: {same}")


if __name__ == "__main__":
    main()
