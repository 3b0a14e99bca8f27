"""Quality checks of daily weather tables and of dated records against the weather.

The weather reader refuses what it cannot use (a missing column, an unparseable
date) and passes everything else on. Many files it accepts still give a wrong
run without any error: a temperature column in degrees Fahrenheit or kelvin, a
week of missing days that counts as a cold week, two copies of the same day
counted twice, a last week with three days whose heat units look like a cold
snap, or a day/month/year file read month first. These checks look for such
signs in the table as it was read and report each one as a ``QualityNotice``;
they never change the table and never raise for what they find.

    notices = check_weather(pd.read_csv("weather.csv"))
    for notice in notices:
        print(notice)

What each check means (the ``check`` field of a notice):

``units``
    A temperature column holds values that are implausible for daily
    temperatures in degrees Celsius (below -60 or above 60): the whole column in
    degrees Fahrenheit or kelvin, or single typing errors such as a 265 °C day.
    For a heat-unit column: negative daily heat units, or more than 60
    degree-days in one day.
``missing_days``
    Days absent between the first and the last date, with the gaps' dates.
    A missing day adds no heat units, so its week looks colder than it was.
``duplicate_days``
    The same date on more than one row; every row is summed into its week.
``partial_week``
    The first or last model week holds fewer days than a week has; its heat
    units are a partial sum.
``missing_values``
    Days that are in the file but have no value (an empty cell, or text that
    is not a number) in a temperature or heat-unit column. Such a day adds no
    heat units, as a missing day does.
``numeric_dates``
    The date column holds numbers (spreadsheet serial days such as 44200, or
    20210104): read as dates they are all moments of 1970-01-01.
``order``
    Dates that go backwards in file order.
``day_first``
    The date texts read month first (as the reader reads ambiguous dates such
    as 03/04/2021) give a less regular calendar than the same texts read day
    first: the file is probably written day/month/year.
``coverage``
    (``check_coverage``) Records dated before the first or after the last day
    that the weather covers; they fall in weeks without heat units.

A management schedule file is read as it stands (``check_schedule_file``):

``unread_keys``
    Top-level keys other than ``replacement_schedule``, which the schedule
    does not read (a misspelt ``replacement_schedule`` schedules nothing).
``schedule_weeks``
    Week keys that are not whole numbers (110.5 is week 110), true/false
    keys or amounts (read as 1 and 0), and weeks listed twice (the later
    amount is kept).

An inventory table (``check_inventory_table``):

``duplicate_groups``
    Rows of one chain and one age: a run refuses them (two cohorts born in
    the same week); add them up into one row.
"""

from __future__ import annotations

import datetime as dt
from collections.abc import Iterable, Sequence
from dataclasses import dataclass

import numpy as np
import pandas as pd

# Daily temperatures outside this band are not degrees Celsius on this planet's farms.
CELSIUS_RANGE = (-60.0, 60.0)
# More heat units than this in one day cannot come from a plausible daily mean.
MAX_DAILY_HEAT_UNITS = 60.0
# How many dates or rows a notice lists before it says "and N more".
SHOWN = 5

CHECKS = ("units", "missing_values", "numeric_dates", "missing_days", "duplicate_days", "partial_week", "order",
          "day_first", "coverage", "unread_keys", "schedule_weeks", "duplicate_groups")


@dataclass(frozen=True, slots=True)
class QualityNotice:
    """One finding of a quality check: which check, about which column, and what it saw."""

    check: str
    subject: str
    message: str

    def __str__(self) -> str:
        return f"[quality] {self.check}: {self.subject}: {self.message}"


def _listed(items: Sequence[object]) -> str:
    shown = ", ".join(str(x) for x in items[:SHOWN])
    more = len(items) - SHOWN
    return f"{shown} and {more} more" if more > 0 else shown


def _parse(texts: pd.Series, *, dayfirst: bool) -> pd.Series:
    """Dates of a column parsed cell by cell, as the weather reader does (NaT where unparseable)."""
    if pd.api.types.is_datetime64_any_dtype(texts):
        return texts
    as_text = texts.astype("string")
    return pd.to_datetime(as_text, format="mixed", dayfirst=dayfirst, errors="coerce")


def _regularity(dates: pd.Series) -> tuple[int, int, int]:
    """A score of how calendar-like a sequence of dates is: more consecutive
    one-day steps, fewer backward steps, more parsed cells."""
    days = dates.dropna().to_numpy(dtype="datetime64[D]")
    steps = np.diff(days).astype(np.int64)
    return int((steps == 1).sum()), -int((steps < 0).sum()), int(dates.notna().sum())


# Year first: never read day first, whatever the order of the rows.
_ISO = r"^\s*\d{4}-\d{1,2}-\d{1,2}"


def _day_first(column: str, texts: pd.Series, month_first: pd.Series) -> list[QualityNotice]:
    if pd.api.types.is_datetime64_any_dtype(texts) or not len(texts):
        return []
    day_first = _parse(texts, dayfirst=True)
    iso = texts.astype("string").str.match(_ISO).fillna(False).astype(bool)
    differ = (day_first != month_first) & day_first.notna() & month_first.notna() & ~iso
    if not differ.any():
        return []
    if _regularity(day_first) <= _regularity(month_first):
        return []
    rows = list(texts.index[differ])
    examples = [
        f"{texts[r]} reads {month_first[r].date()} (not {day_first[r].date()})" for r in rows[:3]
    ]
    return [QualityNotice(
        "day_first", column,
        f"{len(rows)} date(s) read month first give a less regular calendar than read day first "
        f"({'; '.join(examples)}); the file looks written day/month/year: rewrite its dates as "
        "YYYY-MM-DD",
    )]


def _temperatures(column: str, values: pd.Series, dates: pd.Series) -> list[QualityNotice]:
    numbers = pd.to_numeric(values, errors="coerce").dropna()
    if numbers.empty:
        return []
    low, high = CELSIUS_RANGE
    out = (numbers < low) | (numbers > high)
    if not out.any():
        return []
    median = float(numbers.median())
    if 230.0 <= median <= 330.0:
        guess = f"the column's median is {median:g}: it looks like kelvin (°C = K - 273.15)"
    elif out.mean() > 0.5 or 45.0 <= median <= 110.0:
        guess = f"the column's median is {median:g}: it looks like °F (°C = (°F - 32) / 1.8)"
    else:
        guess = "expected daily temperatures in °C"
    where = [f"{numbers[r]:g} on {_day(dates, r)}" for r in numbers.index[out]]
    return [QualityNotice(
        "units", column,
        f"{int(out.sum())} value(s) outside {low:g}..{high:g} °C ({_listed(where)}); {guess}",
    )]


def _heat_units(column: str, values: pd.Series, dates: pd.Series) -> list[QualityNotice]:
    numbers = pd.to_numeric(values, errors="coerce").dropna()
    notices: list[QualityNotice] = []
    for mask, what in ((numbers < 0.0, "negative"),
                       (numbers > MAX_DAILY_HEAT_UNITS, f"above {MAX_DAILY_HEAT_UNITS:g} degree-days")):
        if mask.any():
            where = [f"{numbers[r]:g} on {_day(dates, r)}" for r in numbers.index[mask]]
            notices.append(QualityNotice(
                "units", column,
                f"{int(mask.sum())} daily heat unit value(s) {what} ({_listed(where)}); "
                "expected daily degree-days above the base temperature",
            ))
    return notices


def _missing_values(column: str, values: pd.Series, dates: pd.Series) -> list[QualityNotice]:
    empty = pd.to_numeric(values, errors="coerce").isna() & dates.notna()
    if not empty.any():
        return []
    where = [_day(dates, r) for r in values.index[empty]]
    return [QualityNotice(
        "missing_values", column,
        f"{int(empty.sum())} day(s) without a value ({_listed(where)}); a day without a value adds no "
        "heat units, so its week looks colder than it was")]


def _numeric_dates(column: str, texts: pd.Series) -> list[QualityNotice]:
    if not (pd.api.types.is_numeric_dtype(texts) and not pd.api.types.is_bool_dtype(texts)) or not len(texts):
        return []
    shown = [f"{v:g}" if isinstance(v, float) else str(v) for v in texts.dropna().head(SHOWN).tolist()]
    return [QualityNotice(
        "numeric_dates", column,
        f"the dates are numbers ({', '.join(shown)}), which read as moments of 1970-01-01 (spreadsheet "
        "serial days or YYYYMMDD numbers are not dates to the reader); write them as YYYY-MM-DD")]


def _day(dates: pd.Series, row: object) -> str:
    value = dates.get(row)
    return f"row {row}" if value is None or pd.isna(value) else str(value.date())


def _calendar(column: str, dates: pd.Series, week_length_days: int,
              run_start_date: dt.date | None) -> list[QualityNotice]:
    notices: list[QualityNotice] = []
    valid = dates.dropna()
    if valid.empty:
        return notices
    days = valid.dt.normalize()
    back = days.diff() < pd.Timedelta(0)
    if back.any():
        where = [f"row {r} ({days[r].date()} after {days.shift()[r].date()})" for r in days.index[back]]
        notices.append(QualityNotice(
            "order", column, f"dates go backwards {int(back.sum())} time(s): {_listed(where)}"))
    repeated = days[days.duplicated()]
    if not repeated.empty:
        seen = sorted({d.date() for d in repeated})
        notices.append(QualityNotice(
            "duplicate_days", column,
            f"{len(seen)} date(s) appear on more than one row ({_listed(seen)}); "
            "every row is added to its week"))
    unique = np.unique(days.to_numpy(dtype="datetime64[D]"))
    steps = np.diff(unique).astype(np.int64)
    gap_at = np.nonzero(steps > 1)[0]
    if len(gap_at):
        gaps = []
        for i in gap_at:
            first = unique[i] + np.timedelta64(1, "D")
            last = unique[i + 1] - np.timedelta64(1, "D")
            gaps.append(str(first) if first == last else f"{first}..{last}")
        missing = int((steps[gap_at] - 1).sum())
        notices.append(QualityNotice(
            "missing_days", column,
            f"{missing} day(s) missing in {len(gaps)} gap(s): {_listed(gaps)}; "
            "a missing day adds no heat units"))
    start = np.datetime64(run_start_date, "D") if run_start_date is not None else unique[0]
    length = np.timedelta64(week_length_days, "D")
    first_week = (unique[0] - start).astype(np.int64) // week_length_days
    last_week = (unique[-1] - start).astype(np.int64) // week_length_days
    first_begins = start + first_week * length
    last_ends = start + (last_week + 1) * length - np.timedelta64(1, "D")
    edges = (("first", first_week, first_begins, int((unique[0] - first_begins).astype(np.int64))),
             ("last", last_week, last_ends, int((last_ends - unique[-1]).astype(np.int64))))
    for label, week, bound, short in edges:
        if short > 0:
            span = f"from {bound}" if label == "first" else f"to {bound}"
            notices.append(QualityNotice(
                "partial_week", column,
                f"the {label} week (week_index {int(week)}, {span}) lacks {short} of its "
                f"{week_length_days} days; its heat units are a partial sum"))
    return notices


def check_weather(
    table: pd.DataFrame,
    *,
    date: str = "date",
    temperatures: Iterable[str] = ("tmean",),
    heat_units: str | None = None,
    week_length_days: int = 7,
    run_start_date: dt.date | None = None,
) -> list[QualityNotice]:
    """Quality notices for a daily weather table, as loaded from its file.

    ``table`` holds the file's columns; its ``date`` column may be the date
    texts (then the day/month order is checked too) or parsed dates.
    ``temperatures`` names the columns of daily temperatures in °C that are
    present (mean, minimum, maximum); ``heat_units`` a column of daily
    degree-days, if the file supplies them. The week checks use
    ``week_length_days`` and ``run_start_date`` (default: the first date), as
    the weather provider does. Columns that are absent are skipped: the reader
    reports those.
    """
    if date not in table.columns:
        return []
    texts = table[date]
    numeric = _numeric_dates(date, texts)
    if numeric:
        return numeric  # no calendar to check; the run would be meaningless
    dates = _parse(texts, dayfirst=False)
    notices = _day_first(date, texts, dates)
    if not notices:
        # Read the wrong way round, a calendar shows gaps and backward steps
        # that are artefacts of the reading; the day_first notice says it all.
        notices += _calendar(date, dates, int(week_length_days), run_start_date)
    for column in temperatures:
        if column in table.columns:
            notices += _missing_values(column, table[column], dates)
            notices += _temperatures(column, table[column], dates)
    if heat_units is not None and heat_units in table.columns:
        notices += _missing_values(heat_units, table[heat_units], dates)
        notices += _heat_units(heat_units, table[heat_units], dates)
    return notices


def check_coverage(dates: Iterable[object], first_day: dt.date, last_day: dt.date, *,
                   subject: str = "date") -> list[QualityNotice]:
    """A notice when records are dated outside ``first_day..last_day`` (the weather's days)."""
    parsed = pd.to_datetime(pd.Series(list(dates), dtype=object), errors="coerce").dropna()
    days = sorted({d.date() for d in parsed})
    outside = [d for d in days if d < first_day or d > last_day]
    if not outside:
        return []
    return [QualityNotice(
        "coverage", subject,
        f"{len(outside)} record date(s) outside the weather's days {first_day}..{last_day} "
        f"({_listed(outside)}); they fall in weeks without heat units")]


def check_schedule_file(path: str) -> list[QualityNotice]:
    """Notices for a management schedule file whose contents the schedule would
    read other than as written; nothing for a file it cannot read (the schedule
    reports that)."""
    import difflib

    import yaml

    name = "replacement_schedule"
    try:
        with open(path, encoding="utf-8") as f:
            text = f.read()
        document = yaml.safe_load(text)
        root = yaml.compose(text, Loader=yaml.SafeLoader)
    except Exception:  # noqa: BLE001 - the schedule reports its own errors
        return []
    notices: list[QualityNotice] = []
    if not isinstance(document, dict):
        return notices
    other = [k for k in document if k != name]
    if other:
        close = [k for k in other if difflib.get_close_matches(str(k), [name], n=1)] if name not in document else []
        why = (f"; {close[0]!r} looks like a misspelt {name!r}, so the schedule lists no week" if close
               else f"; only {name!r} is read")
        notices.append(QualityNotice("unread_keys", "schedule", f"key(s) {other} are not read{why}"))
    table = document.get(name)
    if not isinstance(table, dict):
        return notices
    # The keys as written, repeats included (loading keeps only the last).
    constructor = yaml.SafeLoader("")
    written: list[object] = []
    for key_node, value_node in root.value if isinstance(root, yaml.MappingNode) else []:
        if key_node.value == name and isinstance(value_node, yaml.MappingNode):
            written = [constructor.construct_object(k) for k, _ in value_node.value]
    odd = []
    weeks: dict[int, object] = {}
    for key in written:
        amount = table.get(key)
        if isinstance(key, bool) or isinstance(amount, bool):
            odd.append(f"{key!r}: {amount!r} (true and false read as 1 and 0)")
        elif isinstance(key, float) and not key.is_integer():
            odd.append(f"{key!r} (read as week {int(key)})")
        try:
            week = int(key)  # type: ignore[call-overload]
        except (TypeError, ValueError):
            continue
        if week in weeks:
            odd.append(f"week {week} listed twice (as {weeks[week]!r} and {key!r}; the later amount is kept)")
        weeks[week] = key
    if odd:
        notices.append(QualityNotice("schedule_weeks", name, f"{len(odd)} entr(ies) read other than written: "
                                     + _listed(odd)))
    return notices


def check_record_dates(table: pd.DataFrame, column: str = "date") -> list[QualityNotice]:
    """The ``numeric_dates`` notice for a production or selection file as loaded:
    numbers in its date column are placed in weeks of 1970."""
    if column not in table.columns:
        return []
    return _numeric_dates(column, table[column])


def check_inventory_table(table: pd.DataFrame) -> list[QualityNotice]:
    """A notice for rows of one chain and one age, which a run refuses."""
    if not {"chain", "age_weeks"} <= set(table.columns):
        return []
    twice = table[table.duplicated(["chain", "age_weeks"], keep=False)]
    if twice.empty:
        return []
    groups = [f"{chain} age {age} (rows {', '.join(str(r) for r in rows.index)})"
              for (chain, age), rows in twice.groupby(["chain", "age_weeks"], sort=True)]
    return [QualityNotice(
        "duplicate_groups", "age_weeks",
        f"{len(groups)} chain and age pair(s) on more than one row ({_listed(groups)}); a run refuses them "
        "(two cohorts born in the same week): add each pair's populations up into one row")]
