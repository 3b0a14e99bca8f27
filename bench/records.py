"""Ribbon production and sucker selection records: reading and building.

Fixed workloads, figures printed side by side with a plain pandas/Python way
of doing the same work (no asserts):

- production file of 200,000 rows (2,000 tags x 100 dates, every third day):
  Quillet.read against bare read_csv + to_datetime of the same file;
- RibbonProductionData from that table, with the package's WeatherProvider
  and with a caller's own duck-typed provider, against the plain Python build
  (itertuples, one week_index_for_date call and one frozen dataclass per row,
  a dict keyed by (tag, week));
- observation() for every (tag, week) against the dict lookup of the plain build;
- sucker-selection file of 20,000 daily rows: Braxen.read and
  SuckerSelectionData against the same plain ways.

    PYTHONPATH=build/dev/stage .venv/bin/python bench/records.py
"""

from __future__ import annotations

import dataclasses
import datetime as dt
import pickle
import tempfile
import time
from pathlib import Path

import numpy as np
import pandas as pd

from py_narvo_pop.readers.braxen import Braxen, SuckerSelectionData
from py_narvo_pop.readers.quillet import Quillet, RibbonProductionData
from py_narvo_pop.weather import WeatherProvider

N_TAGS, N_DATES, DATE_STEP_DAYS = 2_000, 100, 3
N_SELECTION_DAYS = 20_000
FIRST_DAY = dt.date(2020, 1, 6)
REPEATS = 5


def best_of(fn, repeats=REPEATS):
    best, result = float("inf"), None
    for _ in range(repeats):
        t0 = time.perf_counter()
        result = fn()
        best = min(best, time.perf_counter() - t0)
    return best, result


def write_production(path: Path) -> None:
    rng = np.random.default_rng(7)
    n = N_TAGS * N_DATES
    days = [(FIRST_DAY + dt.timedelta(days=DATE_STEP_DAYS * j)).isoformat() for j in range(N_DATES)]
    cut = rng.integers(0, 20, n).astype(float)
    rejected = np.floor(cut * 0.1)
    pd.DataFrame(
        {
            "tag": np.repeat([f"R{i:05d}" for i in range(N_TAGS)], N_DATES),
            "date": np.tile(days, N_TAGS),
            "bagged": rng.integers(0, 30, n),
            "cut": cut,
            "age_at_cut": rng.integers(30, 60, n),
            "field_losses": rng.integers(0, 3, n),
            "rejected": rejected,
            "processed": cut - rejected,
        }
    ).to_csv(path, index=False)


def write_selection(path: Path) -> None:
    rng = np.random.default_rng(11)
    days = pd.date_range(FIRST_DAY, periods=N_SELECTION_DAYS, freq="D").strftime("%Y-%m-%d")
    pd.DataFrame(
        {
            "date": days,
            "parous_count": rng.integers(0, 50, N_SELECTION_DAYS),
            "nulliparous_count": rng.integers(0, 50, N_SELECTION_DAYS),
        }
    ).to_csv(path, index=False)


def package_provider() -> WeatherProvider:
    days = pd.date_range(FIRST_DAY, periods=N_SELECTION_DAYS + 7, freq="D")
    daily = pd.DataFrame({"date": days, "tmean": 25.0})
    return WeatherProvider(daily, run_start_date=FIRST_DAY)


class DuckProvider:
    """A caller's own provider: only week_index_for_date."""

    def week_index_for_date(self, d):
        return (d - FIRST_DAY).days // 7


@dataclasses.dataclass(frozen=True, slots=True)
class PlainObservation:
    bagged: float | None
    cut: float | None
    age_at_cut: float | None
    field_losses: float | None
    rejected: float | None
    processed: float | None


def plain_float(v):
    return None if pd.isna(v) else float(v)


def plain_production(data, weather):
    tags = tuple(sorted(pd.unique(data["tag"])))
    observations, weeks = {}, []
    for row in data.itertuples(index=False):
        week = weather.week_index_for_date(row.date)
        weeks.append(week)
        observations[(row.tag, week)] = PlainObservation(
            bagged=plain_float(row.bagged),
            cut=plain_float(row.cut),
            age_at_cut=plain_float(row.age_at_cut),
            field_losses=plain_float(row.field_losses),
            rejected=plain_float(row.rejected),
            processed=plain_float(row.processed),
        )
    return tags, observations, min(weeks, default=None), max(weeks, default=None)


def plain_selection(data, weather):
    totals, weeks = {}, []
    for row in data.itertuples(index=False):
        week = weather.week_index_for_date(row.date)
        weeks.append(week)
        if not pd.isna(row.total):
            totals[week] = float(row.total)
    return totals, min(weeks, default=None), max(weeks, default=None)


def line(label, seconds, reference=None, per=None):
    text = f"  {label:<58} {seconds * 1e3:9.1f} ms"
    if per:
        text += f"  ({seconds / per * 1e9:7.1f} ns each)"
    if reference:
        text += f"  x{seconds / reference:5.2f}"
    print(text)


def main() -> None:
    print(f"pandas {pd.__version__}")
    with tempfile.TemporaryDirectory() as tmp:
        production = Path(tmp) / "production.csv"
        selection = Path(tmp) / "selection.csv"
        write_production(production)
        write_selection(selection)
        provider, duck = package_provider(), DuckProvider()

        rows = N_TAGS * N_DATES
        print(f"\nribbon production file, {rows:,} rows ({N_TAGS:,} tags x {N_DATES} dates)")
        bare, _ = best_of(
            lambda: pd.to_datetime(pd.read_csv(production, dtype={"tag": str})["date"]))
        line("bare read_csv + to_datetime (reference)", bare)
        read, result = best_of(lambda: Quillet.read(production))
        line("Quillet.read", read, bare)
        table = result.data

        plain, (_, plain_obs, _, _) = best_of(lambda: plain_production(table, duck), 1)
        line("plain build: itertuples + dataclass per row (reference)", plain)
        fast, data = best_of(lambda: RibbonProductionData(table, provider))
        line("RibbonProductionData, package WeatherProvider", fast, plain)
        slow, _ = best_of(lambda: RibbonProductionData(table, duck))
        line("RibbonProductionData, duck-typed provider", slow, plain)

        keys = list(plain_obs)
        dict_lookup, _ = best_of(lambda: [plain_obs.get(k) for k in keys])
        line("plain dict lookup of every (tag, week) (reference)", dict_lookup, per=len(keys))
        native_lookup, _ = best_of(lambda: [data.observation(t, w) for t, w in keys])
        line("RibbonProductionData.observation of every (tag, week)", native_lookup,
             dict_lookup, per=len(keys))
        miss, _ = best_of(lambda: [data.observation(t, w + 1000) for t, w in keys])
        line("observation of an unrecorded week", miss, dict_lookup, per=len(keys))
        covered, _ = best_of(lambda: [data.week_is_covered(w) for _, w in keys])
        line("week_is_covered", covered, per=len(keys))
        blob = pickle.dumps(data)
        dump, _ = best_of(lambda: pickle.dumps(data))
        load, _ = best_of(lambda: pickle.loads(blob))
        plain_blob = pickle.dumps(plain_obs)
        print(f"  pickle: {len(blob) / 1e6:.1f} MB, dumps {dump * 1e3:.1f} ms, loads "
              f"{load * 1e3:.1f} ms (plain dict: {len(plain_blob) / 1e6:.1f} MB)")

        print(f"\nsucker selection file, {N_SELECTION_DAYS:,} daily rows")
        bare_s, _ = best_of(lambda: pd.to_datetime(pd.read_csv(selection)["date"]))
        line("bare read_csv + to_datetime (reference)", bare_s)
        read_s, result_s = best_of(lambda: Braxen.read(selection))
        line("Braxen.read", read_s, bare_s)
        plain_s, _ = best_of(lambda: plain_selection(result_s.data, duck), 1)
        line("plain build: itertuples per row (reference)", plain_s)
        fast_s, _ = best_of(lambda: SuckerSelectionData(result_s.data, provider))
        line("SuckerSelectionData, package WeatherProvider", fast_s, plain_s)
        slow_s, _ = best_of(lambda: SuckerSelectionData(result_s.data, duck))
        line("SuckerSelectionData, duck-typed provider", slow_s, plain_s)


if __name__ == "__main__":
    main()
