"""Weekly series of the field records (weekly_table, first_week/last_week), the
weather provider's public calendar, and records made without their __init__."""

import datetime as dt
import pickle
import subprocess
import sys

import numpy as np
import pandas as pd
import pytest
from weekly_records import D0, DuckProvider, weather  # noqa: F401

from py_narvo_pop.readers.braxen import SuckerSelectionData
from py_narvo_pop.readers.quillet import RibbonProductionData
from py_narvo_pop.weather import WeatherProvider

NAN = float("nan")
PRODUCTION_COLUMNS = ["tag", "date", "bagged", "cut", "age_at_cut", "field_losses", "rejected", "processed"]
WEEKLY_PRODUCTION = ["week_index", "date", "bagged", "cut", "field_losses", "rejected", "processed",
                     "age_at_cut", "tags"]


def day(week, offset=0):
    return D0 + dt.timedelta(days=7 * week + offset)


def provider(start=D0, week_length_days=7):
    return WeatherProvider(pd.DataFrame({"date": [start], "tmean": [20.0]}),
                           run_start_date=start, week_length_days=week_length_days)


def production_table(rows):
    return pd.DataFrame(rows, columns=PRODUCTION_COLUMNS)


def expected_production(rows, dates):
    """rows: (week, bagged, cut, field_losses, rejected, processed, age_at_cut, tags)."""
    frame = pd.DataFrame(rows, columns=[c for c in WEEKLY_PRODUCTION if c != "date"])
    frame.insert(1, "date", pd.Series(dates, dtype=object))
    return frame.astype({"week_index": "int64", "tags": "int64"} |
                        {c: "float64" for c in WEEKLY_PRODUCTION[2:-1]})


# Week 0: R1 twice (the later row wins), R2 with no bagged and no processed.
# Week 1: R2 only, nothing cut (cut and age_at_cut empty).
# Week 3: R1 with every quantity empty: the week has a record but no values.
HAND_ROWS = [
    ["R2", day(0, 2), None, 4.0, 11.0, 0.0, 1.0, None],
    ["R1", day(0, 1), 9.0, 9.0, 99.0, 9.0, 9.0, 9.0],
    ["R1", day(0, 5), 2.0, 3.0, 13.0, 1.0, 0.5, 2.5],
    ["R2", day(1, 0), 5.0, None, None, None, None, None],
    ["R1", day(3, 6), None, None, None, None, None, None],
]
HAND_WEEKLY = [
    # week bagged cut   losses rejected processed age   tags
    (0,    2.0,   7.0,  1.0,   1.5,     2.5,      12.0, 2),
    (1,    5.0,   NAN,  NAN,   NAN,     NAN,      NAN,  1),
    (3,    NAN,   NAN,  NAN,   NAN,     NAN,      NAN,  1),
]


@pytest.mark.parametrize("with_dates", [False, True])
def test_production_weekly_table_by_hand(weather, with_dates):  # noqa: F811
    data = RibbonProductionData(production_table(HAND_ROWS), weather)
    if with_dates:
        table = data.weekly_table(provider())
        dates = [day(0), day(1), day(3)]
    else:
        table = data.weekly_table()
        dates = [pd.NaT] * 3
    pd.testing.assert_frame_equal(table, expected_production(HAND_WEEKLY, dates))
    assert (data.first_week, data.last_week) == (0, 3)


def test_weeks_ascend_whatever_the_row_order():
    rows = [["R1", day(w), 1.0, 1.0, 10.0, 0.0, 0.0, 1.0] for w in (7, -2, 4, 0)]
    data = RibbonProductionData(production_table(rows), provider())
    table = data.weekly_table()
    assert table["week_index"].tolist() == [-2, 0, 4, 7]
    assert (data.first_week, data.last_week) == (-2, 7)


def test_tags_are_summed_in_ascending_order():
    # Added A, B, C the sum is (1e16 + 1) + 1 == 1e16; added in table order
    # (C, B, A) it would be 1e16 + 2.
    rows = [[tag, day(0), 0.0, 0.0, 0.0, 0.0, 0.0, amount] for tag, amount in
            (("C", 1.0), ("B", 1.0), ("A", 1e16))]
    table = RibbonProductionData(production_table(rows), provider()).weekly_table()
    assert table["processed"].tolist() == [1e16]
    assert table["tags"].tolist() == [3]


@pytest.mark.parametrize("make, columns, dtypes", [
    (lambda w: RibbonProductionData(production_table([]), w), WEEKLY_PRODUCTION,
     ["int64", "object"] + ["float64"] * 6 + ["int64"]),
    (lambda w: SuckerSelectionData(pd.DataFrame({"date": [], "total": []}), w),
     ["week_index", "date", "total"], ["int64", "object", "float64"]),
])
def test_no_records_give_an_empty_table(make, columns, dtypes):
    data = make(provider())
    for weather_arg in (None, provider()):
        table = data.weekly_table(weather_arg)
        assert table.columns.tolist() == columns and len(table) == 0
        assert [str(t) for t in table.dtypes] == dtypes
    assert data.first_week is None and data.last_week is None


@pytest.mark.parametrize("start, length, weeks, dates", [
    (D0, 7, [0, 2], [D0, dt.date(2024, 1, 15)]),
    (dt.date(2024, 1, 10), 10, [-1, 0, 3], [dt.date(2023, 12, 31), dt.date(2024, 1, 10), dt.date(2024, 2, 9)]),
])
def test_dates_are_the_providers_week_starts(start, length, weeks, dates):
    calendar = provider(start, length)
    rows = [{"date": calendar.calendar_date_for_week(w) + dt.timedelta(days=1), "total": 1.0} for w in weeks]
    table = SuckerSelectionData(pd.DataFrame(rows), calendar).weekly_table(calendar)
    assert table["week_index"].tolist() == weeks
    assert table["date"].tolist() == dates


def test_selection_weekly_table_by_hand(weather):  # noqa: F811
    frame = pd.DataFrame({
        "date": [day(0), day(0, 3), day(2), day(2, 1), day(5), day(5, 2)],
        # week 0: 5 then 7 (7 wins); week 2: 4 then missing (4 stays);
        # week 5: missing only (a record, no total)
        "total": [5.0, 7.0, 4.0, NAN, NAN, NAN],
    })
    data = SuckerSelectionData(frame, weather)
    expected = pd.DataFrame({
        "week_index": np.array([0, 2, 5], dtype="int64"),
        "date": pd.Series([day(0), day(2), day(5)], dtype=object),
        "total": [7.0, 4.0, NAN],
    })
    pd.testing.assert_frame_equal(data.weekly_table(provider()), expected)
    assert data.weekly_table()["date"].isna().all()
    assert (data.first_week, data.last_week) == (0, 5)
    assert [data.total(w) for w in (0, 2, 5)] == [7.0, 4.0, None]


def test_selection_weeks_without_a_total_survive_pickling():
    frame = pd.DataFrame({"date": [day(0), day(3), day(4)], "total": [2.0, NAN, 6.0]})
    data = SuckerSelectionData(frame, provider())
    back = pickle.loads(pickle.dumps(data))
    pd.testing.assert_frame_equal(back.weekly_table(), data.weekly_table())
    assert back.weekly_table()["week_index"].tolist() == [0, 3, 4]


def test_selection_state_pickled_before_weeks_were_kept():
    data = SuckerSelectionData(pd.DataFrame({"date": [day(0), day(3), day(4)], "total": [2.0, NAN, 6.0]}),
                               provider())
    older = SuckerSelectionData.__new__(SuckerSelectionData)
    older.__setstate__(data.__getstate__()[:4])
    assert older.weekly_table()["week_index"].tolist() == [0, 4]
    assert (older.first_week, older.last_week) == (0, 4)


def test_production_table_survives_pickling():
    data = RibbonProductionData(production_table(HAND_ROWS), provider())
    back = pickle.loads(pickle.dumps(data))
    pd.testing.assert_frame_equal(back.weekly_table(provider()), data.weekly_table(provider()))


@pytest.mark.parametrize("cls", [RibbonProductionData, SuckerSelectionData])
@pytest.mark.parametrize("name", ["first_week", "last_week"])
def test_week_span_properties_are_read_only(cls, name):
    data = cls.__new__(cls)
    with pytest.raises(TypeError, match="was never initialised"):
        getattr(data, name)
    built = SuckerSelectionData(pd.DataFrame({"date": [day(1)], "total": [1.0]}), provider())
    with pytest.raises(AttributeError):
        setattr(built, name, 3)


def test_a_duck_provider_without_a_calendar_is_only_asked_when_there_are_weeks():
    empty = SuckerSelectionData(pd.DataFrame({"date": [], "total": []}), DuckProvider())
    assert len(empty.weekly_table(DuckProvider())) == 0
    data = SuckerSelectionData(pd.DataFrame({"date": [day(1)], "total": [1.0]}), DuckProvider())
    with pytest.raises(AttributeError, match="calendar_date_for_week"):
        data.weekly_table(DuckProvider())


# ------------------------------------------------------ weather calendar ---

@pytest.mark.parametrize("start, length", [(None, 7), (dt.date(2023, 12, 25), 10)])
def test_provider_calendar_is_public(start, length):
    daily = pd.DataFrame({"date": pd.date_range("2024-01-01", periods=30), "tmean": 20.0})
    weather = WeatherProvider(daily, run_start_date=start, week_length_days=length)
    expected_start = start or dt.date(2024, 1, 1)
    assert (weather.run_start_date, weather.week_length_days) == (expected_start, length)
    assert type(weather.week_length_days) is int and type(weather.run_start_date) is dt.date
    assert weather.calendar_date_for_week(1) - weather.run_start_date == dt.timedelta(days=length)
    back = pickle.loads(pickle.dumps(weather))
    assert (back.run_start_date, back.week_length_days) == (expected_start, length)
    with pytest.raises(AttributeError):
        weather.week_length_days = 3


# ------------------------------------------- records never initialised ---

RECORD_CLASSES = [
    ("py_narvo_pop.notices", "Notice"),
    ("py_narvo_pop.notices", "ReadResult"),
    ("py_narvo_pop.weather", "ColumnMap"),
    ("py_narvo_pop.cohorts", "CohortColumnMap"),
    ("py_narvo_pop.cohorts", "Cohort"),
    ("py_narvo_pop.toverin", "Toverin"),
    ("py_narvo_pop.readers.quillet", "ProductionObservation"),
    ("py_narvo_pop.dispersion", "DispersionProfile"),
    ("py_narvo_pop.parameters", "ParameterSet"),
]
OPERATIONS = {
    "repr": "repr(o)",
    "eq": "o == o",
    "pickle": "pickle.dumps(o)",
    "replace": "copy.replace(o)",
    "asdict": "dataclasses.asdict(o)",
    "deepcopy": "copy.deepcopy(o)",
}
# Field getters and methods that the classes bind themselves, outside the
# shared record protocol, that still read the instance without asking.
NOT_YET_CHECKED: set[tuple[str, str]] = set()


def _case(module, name, op):
    marks = []
    if (name, op) in NOT_YET_CHECKED:
        marks.append(pytest.mark.xfail(reason="bound outside the shared record protocol", strict=False))
    return pytest.param(module, name, op, id=f"{name}-{op}", marks=marks)


@pytest.mark.parametrize("module, name, op",
                         [_case(m, n, op) for m, n in RECORD_CLASSES for op in OPERATIONS])
def test_uninitialised_record_refused_with_type_error(module, name, op):
    code = (
        "import copy, dataclasses, pickle, importlib, warnings\n"
        "warnings.simplefilter('error')\n"
        f"T = getattr(importlib.import_module({module!r}), {name!r})\n"
        "o = T.__new__(T)\n"
        "try:\n"
        f"    {OPERATIONS[op]}\n"
        "except TypeError as e:\n"
        "    print('TypeError:', e)\n"
    )
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == f"TypeError: this {name} was never initialised"


# Members a class binds beside the shared record protocol read the instance too.
@pytest.mark.parametrize("module, name, expr", [
    ("py_narvo_pop.toverin", "Toverin", "o.replacement_schedule"),
    ("py_narvo_pop.toverin", "Toverin", "hash(o)"),
    ("py_narvo_pop.toverin", "Toverin", "o.replacement_suckers_for_week(1)"),
    ("py_narvo_pop.parameters", "ParameterSet", "o.harvest"),
    ("py_narvo_pop.parameters", "ParameterSet", "o.to_dict()"),
])
def test_uninitialised_record_members_refused_with_type_error(module, name, expr):
    code = (
        "import importlib\n"
        f"T = getattr(importlib.import_module({module!r}), {name!r})\n"
        "o = T.__new__(T)\n"
        "try:\n"
        f"    {expr}\n"
        "except TypeError as e:\n"
        "    print('TypeError:', e)\n"
    )
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == f"TypeError: this {name} was never initialised"
