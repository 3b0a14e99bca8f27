"""Harvest forecasts: the farm from its inventory under every past year's weather.

A forecast starts from an inventory at a start date and runs ``n_weeks``
weeks ahead once per member. Member ``k`` (k = 1, 2, ...) is the weather of
the same calendar weeks ``k`` years before the start: the chains are seeded
with the real thermal history before the start, and the forecast weeks take
their heat units from a provider built over the same daily table whose
``run_start_date`` is the start date moved back ``k`` whole years (same month
and day; 29 February becomes 28 February). That provider's own weekly
summation gives the member's weekly heat units, so a forecast can reach
beyond the end of the record. A member runs 7 * n_weeks consecutive days from
its start day, so in a window that crosses 29 February of a leap year the
member's weeks are one calendar day earlier, after the leap day, than in
other years. Only years whose whole window lies inside the record are
members.

The week numbering is the record's: week 0 begins on the weather table's
earliest date (as ``simulate`` counts weeks, so schedule weeks mean the same
thing), and the start date falls in the first forecast week, whose first day
is the forecast's start. Members can be crossed with parameter sets.

The result holds the ensemble (one member per (year, parameter set)) and the
weekly quantiles of harvest, flowering, suckers and both populations.
"""

from __future__ import annotations

import dataclasses
import datetime as dt
import math
from collections.abc import Mapping, Sequence
from typing import Any

import numpy as np
import pandas as pd

from py_narvo_pop.ensemble import EnsembleResult, Scenario, SplicedWeather, run_ensemble
from py_narvo_pop.parameters import ParameterSet

VARIABLES = ("harvest", "flowering", "suckers", "pre_flowering", "post_flowering")
DEFAULT_QUANTILES = (0.1, 0.5, 0.9)


def years_back(d: dt.date, k: int) -> dt.date:
    """``d`` moved back ``k`` whole years (29 February becomes 28 February)."""
    try:
        return d.replace(year=d.year - k)
    except ValueError:
        return d.replace(year=d.year - k, day=28)


def quantile_name(variable: str, q: float) -> str:
    """The column of quantile ``q`` of ``variable``: harvest_p10, harvest_p50, ..."""
    return f"{variable}_p{100 * q:g}"


@dataclasses.dataclass
class Forecast:
    """A forecast: its members' weekly columns and their weekly quantiles.

    ``members`` has one row per member: ``member`` (the ensemble's scenario
    number), ``year_offset`` (k), ``weather_from`` (the first day of the
    member's weather) and ``param_set`` (index into the parameter sets).
    ``quantiles`` has ``week_index``, ``date`` and one column per variable
    and quantile (``harvest_p10`` ...).
    """

    start_date: dt.date
    start_week_index: int
    n_weeks: int
    members: pd.DataFrame
    ensemble: EnsembleResult
    quantiles: pd.DataFrame
    levels: tuple[float, ...]

    def summary(self, variable: str = "harvest") -> str:
        """The weekly quantiles of one variable as text."""
        cols = [quantile_name(variable, q) for q in self.levels]
        table = self.quantiles[["week_index", "date", *cols]]
        head = (f"forecast of {variable} from {self.start_date} for {self.n_weeks} weeks, "
                f"{len(self.members)} members ({self.members['year_offset'].nunique()} weather years"
                f" x {self.members['param_set'].nunique()} parameter set(s))")
        return head + "\n" + table.to_string(index=False, float_format=lambda v: f"{v:.1f}")

    def plot(self, path: Any, variable: str = "harvest") -> None:
        """A fan chart of ``variable``: the bands between quantiles, the median as a line."""
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt

        fig, ax = plt.subplots(figsize=(9, 4.5))
        x = pd.to_datetime(self.quantiles["date"])
        qs = sorted(self.levels)
        values = self.ensemble.column(variable)
        for row in values:
            ax.plot(x, row[: self.n_weeks], color="0.75", lw=0.6, zorder=1)
        for lo, hi in zip(qs[: len(qs) // 2], reversed(qs[(len(qs) + 1) // 2:])):
            ax.fill_between(x, self.quantiles[quantile_name(variable, lo)],
                            self.quantiles[quantile_name(variable, hi)], alpha=0.3, color="tab:green",
                            lw=0, label=f"{100 * lo:g}-{100 * hi:g} %", zorder=2)
        if len(qs) % 2:
            mid = qs[len(qs) // 2]
            ax.plot(x, self.quantiles[quantile_name(variable, mid)], color="tab:green", lw=2,
                    label=f"{100 * mid:g} %", zorder=3)
        ax.set_title(f"{variable} forecast from {self.start_date}, {len(self.members)} members")
        ax.set_ylabel(f"{variable} (plants per week)")
        ax.legend(loc="upper left")
        fig.autofmt_xdate()
        fig.tight_layout()
        fig.savefig(path, dpi=110)
        plt.close(fig)


def member_years(daily_dates: pd.Series, start: dt.date, n_weeks: int, week_days: int) -> list[int]:
    """The k >= 1 whose window (start - k years, 7 * n_weeks days) lies inside the record."""
    dates = pd.to_datetime(daily_dates).dropna()
    if dates.empty:
        return []
    first, last = dates.min().date(), dates.max().date()
    span = week_days * n_weeks - 1
    if span > (last - first).days:
        return []  # longer than the whole record
    out = []
    k = 1
    while True:
        begin = years_back(start, k)
        if begin < first:
            break
        if begin + dt.timedelta(days=span) <= last:
            out.append(k)
        k += 1
    return out


def checked_levels(quantiles: Sequence[float]) -> tuple[float, ...]:
    """The quantile levels as floats (one number is one level): numbers in [0, 1]
    whose columns are all distinct."""
    given = [quantiles] if isinstance(quantiles, (int, float)) else list(quantiles)
    try:
        levels = tuple(float(q) for q in given)
    except (TypeError, ValueError):
        levels = (math.nan,)
    if not levels or any(not 0.0 <= q <= 1.0 for q in levels):
        raise ValueError(f"quantiles must be numbers in [0, 1], got {given!r}")
    names = [quantile_name("harvest", q) for q in levels]
    repeated = sorted({n for n in names if names.count(n) > 1})
    if repeated:
        raise ValueError(f"quantiles {list(levels)!r} give the column(s) {repeated} more than once; "
                         "give distinct levels")
    return levels


def checked_date(value: Any) -> dt.date:
    """A date from a date, a datetime (its day) or a YYYY-MM-DD text."""
    if isinstance(value, dt.datetime):  # pandas Timestamps too
        return value.date()
    if isinstance(value, dt.date):
        return value
    if isinstance(value, str):
        try:
            return dt.date.fromisoformat(value.strip())
        except ValueError:
            pass
    raise ValueError(f"start_date must be a date or a YYYY-MM-DD text, got {value!r}")


def weather_mismatch(params: Any, other: Any) -> str | None:
    """How ``other`` differs from ``params`` in what the weather is built with
    (base temperature, week length), or None.

    A forecast builds every member's weather once, with the values of
    ``params``: a parameter set that differs would run on weather it does not
    describe."""
    for key in ("base_temperature_c", "week_length_days"):
        if other.general[key] != params.general[key]:
            return (f"has general.{key} = {other.general[key]!r}; the weather of every member is built "
                    f"with {params.general[key]!r}, the value of the base parameter set")
    return None


def forecast(
    daily: pd.DataFrame,
    params: Any,
    inventory: pd.DataFrame,
    schedule: Any = None,
    *,
    start_date: dt.date,
    n_weeks: int,
    columns: Any = None,
    param_sets: Sequence[Any] | None = None,
    quantiles: Sequence[float] = DEFAULT_QUANTILES,
    threads: int | None = None,
    client: Any = None,
    progress: bool | None = None,
) -> Forecast:
    """Forecast ``n_weeks`` weeks from ``start_date`` under every past year's weather.

    ``daily`` is the daily weather table (as ``WeatherFileReader.read`` gives
    it) and ``columns`` its ``ColumnMap``; ``params`` fixes the base
    temperature and week length (and is the parameter set when
    ``param_sets`` is not given). ``param_sets`` (for instance the sets a
    calibration kept) are crossed with the weather years: one member per
    (year, set); each must have the base temperature and week length of
    ``params``. ``inventory`` ages are counted at the start week.
    ``quantiles`` are levels in [0, 1].
    """
    from py_narvo_pop.weather import ColumnMap, WeatherProvider

    if not isinstance(n_weeks, int) or isinstance(n_weeks, bool) or n_weeks < 1:
        raise ValueError(f"n_weeks must be a positive int, got {n_weeks!r}")
    levels = checked_levels(quantiles)
    start_date = checked_date(start_date)
    columns = ColumnMap() if columns is None else columns
    history = WeatherProvider.from_params(daily, params, columns)
    start_week = history.week_index_for_date(start_date)
    if start_week > history.max_week_index + 1:
        # The chains are seeded from the real weather of every week before the start.
        last = history.calendar_date_for_week(history.max_week_index) + dt.timedelta(
            days=int(params.general["week_length_days"]) - 1)
        raise ValueError(
            f"the forecast cannot start on {start_date}: the weather record ends with the week to {last}, "
            f"and the inventory's thermal history up to the start must come from it; start at the latest "
            f"on {last + dt.timedelta(days=1)}")
    first_day = history.calendar_date_for_week(start_week)
    week_days = int(params.general["week_length_days"])
    years = member_years(daily[columns.date], first_day, n_weeks, week_days)
    if not years:
        raise ValueError(
            f"no year of the weather record covers the {n_weeks} weeks from {first_day} "
            f"moved back by whole years; the record must hold at least one such window")
    sets = [params] if param_sets is None else [
        ParameterSet.from_dict(p) if isinstance(p, Mapping) else p for p in param_sets]
    if not sets:
        raise ValueError("param_sets is empty; give at least one parameter set (or None for params)")
    for j, p in enumerate(sets):
        fault = weather_mismatch(params, p)
        if fault:
            raise ValueError(f"param_sets[{j}] {fault} (params)")
    scenarios: list[Scenario] = []
    rows: list[dict[str, Any]] = []
    for k in years:
        future = WeatherProvider.from_params(daily, params, columns, run_start_date=years_back(first_day, k))
        weather = SplicedWeather(history, future, start_week, offset=-start_week)
        for j, p in enumerate(sets):
            rows.append({"member": len(scenarios), "year_offset": k,
                         "weather_from": years_back(first_day, k), "param_set": j})
            scenarios.append(Scenario(p, weather, inventory, schedule, start_week, n_weeks))
    result = run_ensemble(scenarios, threads=threads, client=client, progress=progress)
    return Forecast(first_day, start_week, n_weeks, pd.DataFrame(rows), result,
                    quantile_table(result, levels), levels)


def quantile_table(result: EnsembleResult, levels: Sequence[float]) -> pd.DataFrame:
    """Weekly quantiles over the members of ``result`` (all of one span)."""
    n = int(result.n_weeks[0]) if len(result) else 0
    data: dict[str, Any] = {
        "week_index": int(result.start_week_index[0]) + np.arange(n),
        "date": result.date_rows[result.date_of[0]][:n] if len(result) else [],
    }
    for variable in VARIABLES:
        values = result.column(variable)[:, :n]
        q = np.quantile(values, list(levels), axis=0)
        for level, row in zip(levels, q):
            data[quantile_name(variable, level)] = row
    return pd.DataFrame(data)
