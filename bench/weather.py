"""Weather provider benchmark: 30 years of daily records.

Builds a provider from an in-memory table and from a .csv file, then answers
100,000 thermal queries, each side by side with the same work done the plain
pandas/Python way (a groupby on the week, a dict of weekly totals). Prints the
best time of several runs and the ratio plain / provider.

    PYTHONPATH=build/dev/stage .venv/bin/python bench/weather.py
"""

from __future__ import annotations

import datetime as dt
import tempfile
import time
from pathlib import Path

import numpy as np
import pandas as pd

from py_narvo_pop.exceptions import WeatherError
from py_narvo_pop.weather import WeatherProvider

YEARS = 30
QUERIES = 100_000
SPAN_WEEKS = 26
BASE = 14.0
WEEK = 7


def make_daily() -> pd.DataFrame:
    rng = np.random.default_rng(7)
    dates = pd.date_range("1995-01-01", periods=round(YEARS * 365.25), freq="D")
    season = 6.0 * np.sin(2 * np.pi * np.arange(len(dates)) / 365.25)
    tmean = 22.0 + season + rng.normal(0.0, 2.5, len(dates))
    tmean[rng.random(len(dates)) < 0.01] = np.nan
    return pd.DataFrame({"date": dates, "tmean": tmean})


# ----------------------------------------------------- the plain way ---


class PlainProvider:
    """Weekly totals from a pandas groupby, queries from a dict."""

    def __init__(self, daily: pd.DataFrame, parse=pd.to_datetime):
        heat = (daily["tmean"].astype(float) - BASE).clip(lower=0.0)
        dates = parse(daily["date"]).dt.normalize()
        weeks = (dates - dates.min()).dt.days // WEEK
        weekly = heat.groupby(weeks.to_numpy()).sum()
        self.weekly = {int(k): float(v) for k, v in weekly.items()}
        self.first, self.last = min(self.weekly), max(self.weekly)

    def thermal_increment(self, w: int) -> float:
        if w in self.weekly:
            return self.weekly[w]
        raise WeatherError(f"week_index {w} is outside the weather data's coverage "
                           f"({self.first}..{self.last})")

    def thermal_sum_between(self, a: int, b: int) -> float:
        return sum(self.thermal_increment(w) for w in range(a, b + 1))

    def thermal_trajectory(self, a: int, b: int) -> list[float]:
        out, total = [], 0.0
        for w in range(a, b + 1):
            total += self.thermal_increment(w)
            out.append(total)
        return out


def plain_from_csv(path: Path) -> PlainProvider:
    frame = pd.read_csv(path)
    return PlainProvider(frame, parse=lambda s: pd.to_datetime(s, format="mixed"))


# ------------------------------------------------------------ timing ---


def best(fn, repeat: int) -> float:
    times = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return min(times)


def fmt(seconds: float) -> str:
    if seconds < 1e-3:
        return f"{seconds * 1e6:9.1f} us"
    return f"{seconds * 1e3:9.2f} ms"


def main() -> None:
    daily = make_daily()
    provider = WeatherProvider(daily)
    plain = PlainProvider(daily)
    assert provider._weekly_heat_units == plain.weekly, "the two ways disagree"

    with tempfile.TemporaryDirectory() as tmp:
        path = Path(tmp) / "weather.csv"
        daily.assign(date=daily["date"].dt.strftime("%Y-%m-%d")).to_csv(path, index=False)

        rng = np.random.default_rng(11)
        weeks = rng.integers(provider.min_week_index, provider.max_week_index + 1, QUERIES).tolist()
        starts = rng.integers(provider.min_week_index,
                              provider.max_week_index - SPAN_WEEKS + 2, QUERIES).tolist()
        spans = [(a, a + SPAN_WEEKS - 1) for a in starts]
        date_list = [dt.date(1995, 1, 1) + dt.timedelta(days=int(d))
                     for d in rng.integers(0, len(daily), QUERIES)]

        rows = [
            ("provider from table (%d days)" % len(daily),
             lambda: WeatherProvider(daily), lambda: PlainProvider(daily), 50),
            ("  (pd.to_datetime of its datetime64 dates)", lambda: pd.to_datetime(daily["date"]),
             None, 50),
            ("provider from .csv file", lambda: WeatherProvider.from_file(path),
             lambda: plain_from_csv(path), 10),
            ("%d thermal_increment" % QUERIES,
             lambda: [provider.thermal_increment(w) for w in weeks],
             lambda: [plain.thermal_increment(w) for w in weeks], 5),
            ("%d thermal_sum_between (%d wk)" % (QUERIES, SPAN_WEEKS),
             lambda: [provider.thermal_sum_between(a, b) for a, b in spans],
             lambda: [plain.thermal_sum_between(a, b) for a, b in spans], 3),
            ("%d thermal_trajectory (%d wk)" % (QUERIES, SPAN_WEEKS),
             lambda: [provider.thermal_trajectory(a, b) for a, b in spans],
             lambda: [plain.thermal_trajectory(a, b) for a, b in spans], 3),
            ("%d week_index_for_date" % QUERIES,
             lambda: [provider.week_index_for_date(d) for d in date_list],
             lambda: [(d - dt.date(1995, 1, 1)).days // WEEK for d in date_list], 5),
        ]

        print(f"pandas {pd.__version__}, {YEARS} years of daily records, best of several runs")
        print(f"{'workload':44} {'provider':>12} {'plain':>12} {'plain/provider':>15}")
        for name, ours, theirs, repeat in rows:
            t_ours = best(ours, repeat)
            if theirs is None:
                print(f"{name:44} {fmt(t_ours):>12}")
                continue
            t_theirs = best(theirs, repeat)
            print(f"{name:44} {fmt(t_ours):>12} {fmt(t_theirs):>12} {t_theirs / t_ours:14.1f}x")


if __name__ == "__main__":
    main()
