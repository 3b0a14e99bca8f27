import datetime as dt
import math
import pickle

import pandas as pd
import pytest
from field_files import WRITERS
from weekly_records import D0, DuckProvider, ShiftedProvider, _quiet_xls_engine_notice, file_writer, weather  # noqa: F401

from py_narvo_pop.exceptions import SuckerSelectionError
from py_narvo_pop.notices import NoticeLog
from py_narvo_pop.readers import braxen
from py_narvo_pop.readers.braxen import Braxen, SuckerSelectionData

HEADER = ["date", "parous_count", "nulliparous_count"]
OUTPUT = ["date", "parous", "nulliparous", "total"]


@pytest.fixture
def selection(tmp_path, monkeypatch):
    """Write rows to sel<suffix> in a fresh directory and return its relative name."""
    monkeypatch.chdir(tmp_path)
    return file_writer(tmp_path, "sel")


def day(offset):
    return (D0 + dt.timedelta(days=offset)).isoformat()


def fails(path, message):
    with pytest.raises(SuckerSelectionError) as info:
        Braxen.read(path)
    assert info.value.args == (message,)
    return info.value


def table(rows):
    return pd.DataFrame(rows, columns=OUTPUT)


@pytest.mark.parametrize("suffix", sorted(WRITERS))
def test_reads_every_format_with_totals(selection, suffix):
    rows = [HEADER + ["note"], [day(0), 3, None, "x"], [day(1), None, None, "y"], [day(2), 0, 0, "z"], [day(3), "many", 2, ""]]
    result = Braxen.read(selection(rows, suffix))
    assert type(result.notices) is NoticeLog and len(result.notices) == 0
    data = result.data
    assert list(data.columns) == OUTPUT and list(data.index) == [0, 1, 2, 3]
    assert data["date"].tolist() == [D0 + dt.timedelta(days=d) for d in range(4)]
    totals = data["total"].tolist()
    assert totals[0] == 3.0 and math.isnan(totals[1]) and totals[2:] == [0.0, 2.0]
    assert math.isnan(data["parous"].tolist()[3])


def test_module_constant():
    assert braxen._SELECTION_COLUMNS == ("date", "parous_count", "nulliparous_count")


def test_missing_column(selection):
    fails(selection([["date", "parous"], [day(0), 1]]),
          "sucker-selection file 'sel.csv' missing required column(s): ['parous_count', 'nulliparous_count']; "
          "found columns: ['date', 'parous']")


def test_header_only(selection):
    result = Braxen.read(selection([HEADER]))
    assert list(result.data.columns) == OUTPUT and len(result.data) == 0 and len(result.notices) == 0


def test_unparseable_date_ends_with_the_parse_error(selection):
    path = selection([HEADER, [day(0), 1, 1], ["week 12", 1, 1]])
    with pytest.raises(ValueError) as parse:
        pd.to_datetime(pd.Series([day(0), "week 12"]))
    error = fails(path, f"could not parse 'date' column in 'sel.csv' as calendar dates: {parse.value}")
    assert str(error.__cause__) == str(parse.value)


@pytest.mark.parametrize(
    "dates, rows",
    [
        ([day(0), day(1), day(0)], "[0, 2]"),
        ([None, day(1), None], "[0, 2]"),
        (["2024-01-01", "2024-1-1"], None),
    ],
)
def test_duplicate_dates(selection, dates, rows):
    path = selection([HEADER] + [[d, 1, 1] for d in dates])
    if rows is None:
        assert len(Braxen.read(path).data) == len(dates)
    else:
        fails(path, f"duplicate 'date' rows at index {rows} in 'sel.csv'; expected at most one farm-wide record per date")


@pytest.mark.parametrize(
    "counts, column, rows",
    [
        ([(-1, -1), (2, 0), (-3, 1)], "parous_count", "[0, 2]"),
        ([("x", -1), (2, 0)], "nulliparous_count", "[0]"),
    ],
)
def test_negative_counts(selection, counts, column, rows):
    path = selection([HEADER] + [[day(i), p, n] for i, (p, n) in enumerate(counts)])
    fails(path, f"column {column!r} contains negative value(s) at row(s) {rows} in 'sel.csv'; expected non-negative counts")


# -------------------------------------------------------------------- data


def test_empty_table(weather):
    data = SuckerSelectionData(table([]), weather)
    assert not any(data.week_is_covered(w) for w in range(-2, 3))
    assert data.total(0) is None and data._first_week is None and data._totals == {}


def test_weeks_later_rows_and_missing_totals(weather):
    rows = [
        [D0 + dt.timedelta(days=28), 1.0, 4.0, 5.0],
        [D0 + dt.timedelta(days=30), 7.0, 0.0, 7.0],  # same week: the later total wins
        [D0 + dt.timedelta(days=56), 1.0, 1.0, 2.0],
        [D0 + dt.timedelta(days=57), None, None, float("nan")],  # no total: keeps 2.0
        [D0 + dt.timedelta(days=70), None, None, float("nan")],  # covered, but no total
    ]
    data = SuckerSelectionData(data=table(rows), weather=weather)
    assert [w for w in range(0, 14) if data.week_is_covered(w)] == list(range(4, 11))
    assert (data.total(4), data.total(8), data.total(6), data.total(10)) == (7.0, 2.0, None, None)
    assert data._totals == {4: 7.0, 8: 2.0}


def test_subclassed_provider_is_asked():
    frame = pd.DataFrame({"date": [D0, D0 + dt.timedelta(days=8)], "total": [1.0, 2.0]})
    provider = ShiftedProvider(pd.DataFrame({"date": [D0], "tmean": [20.0]}))
    assert SuckerSelectionData(frame, provider)._totals == {1: 1.0, 2: 2.0}


def test_integer_total_comes_back_as_float():
    data = SuckerSelectionData(pd.DataFrame({"date": [D0], "total": [3]}), DuckProvider())
    assert data.total(0) == 3.0 and type(data.total(0)) is float


@pytest.mark.parametrize("date, rows", [([D0, None], "[1]"), ([pd.NaT, D0, pd.NaT], "[0, 2]")])
def test_rows_without_date_refused(date, rows):
    frame = pd.DataFrame({"date": date, "total": [1.0] * len(date)})
    with pytest.raises(SuckerSelectionError) as info:
        SuckerSelectionData(frame, DuckProvider())
    assert info.value.args == (
        f"sucker-selection table has no 'date' value on row(s) {rows}; every record needs a recording date to place it in a model week",
    )


def test_from_file(selection):
    path = selection([HEADER, [day(0), 2, 3], [day(9), None, 1]])
    result = Farm.from_file(path, DuckProvider())
    assert type(result.data) is Farm and type(result.notices) is NoticeLog and len(result.notices) == 0
    assert (result.data.total(0), result.data.total(1)) == (5.0, 1.0)
    back = pickle.loads(pickle.dumps(result.data))
    assert type(back) is Farm and back._totals == result.data._totals and back.week_is_covered(1)


def test_from_file_names_the_file_for_rows_without_date(selection):
    path = selection([HEADER, [day(0), 2, 3], [None, 1, 1]])
    with pytest.raises(SuckerSelectionError) as info:
        SuckerSelectionData.from_file(path, DuckProvider())
    assert info.value.args == (
        "sucker-selection file 'sel.csv' has no 'date' value on row(s) [1]; every record needs a recording date to place it in a model week",
    )


class Farm(SuckerSelectionData):
    pass
