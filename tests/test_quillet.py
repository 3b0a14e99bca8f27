import copy
import dataclasses
import datetime as dt
import math
import pickle

import numpy as np
import pandas as pd
import pytest
from field_files import WRITERS, write_csv
from weekly_records import D0, DuckProvider, ShiftedProvider, _quiet_xls_engine_notice, file_writer, package_provider, weather  # noqa: F401

from py_narvo_pop.exceptions import RibbonDataError
from py_narvo_pop.notices import NoticeKind, NoticeLog
from py_narvo_pop.readers import quillet
from py_narvo_pop.readers._common import _clean_text
from py_narvo_pop.readers.quillet import ProductionObservation, Quillet, RibbonProductionData

HEADER = ["tag", "date", "bagged", "cut", "age_at_cut", "field_losses", "rejected", "processed"]
OUTPUT = HEADER
NAN = float("nan")


@pytest.fixture
def production(tmp_path, monkeypatch):
    """Write rows to prod<suffix> in a fresh directory and return its relative name."""
    monkeypatch.chdir(tmp_path)
    return file_writer(tmp_path, "prod")


def day(week, offset=0):
    return (D0 + dt.timedelta(days=7 * week + offset)).isoformat()


def row(tag="R1", date=day(0), bagged=1, cut=2, age=40, losses=0, rejected=1, processed=1):
    return [tag, date, bagged, cut, age, losses, rejected, processed]


def fails(path, message):
    with pytest.raises(RibbonDataError) as info:
        Quillet.read(path)
    assert info.value.args == (message,)
    return info.value


def table(rows):
    return pd.DataFrame(rows, columns=OUTPUT)


# ------------------------------------------------------------------ reader


def test_module_constants():
    assert quillet._REQUIRED_COLUMNS == ("tag", "date", "bagged", "cut", "age_at_cut")
    assert quillet._OPTIONAL_COLUMNS == ("field_losses", "rejected", "processed")
    assert quillet._NUMERIC_COLUMNS == tuple(HEADER[2:])


@pytest.mark.parametrize("suffix", sorted(WRITERS))
def test_reads_every_format(production, suffix):
    rows = [["extra"] + HEADER, ["x", " 007 ", day(0), 3, 5, 40, 1, 1, 4], ["y", "Re\u0301", day(1), None, None, None, None, None, None]]
    result = Quillet.read(production(rows, suffix))
    assert type(result.notices) is NoticeLog and len(result.notices) == 0
    data = result.data
    assert list(data.columns) == OUTPUT and list(data.index) == [0, 1]
    assert data["tag"].tolist() == ["007", "R\u00e9"]
    assert data["date"].tolist() == [D0, D0 + dt.timedelta(days=7)]
    assert data["cut"].tolist()[0] == 5.0 and math.isnan(data["cut"].tolist()[1])


@pytest.mark.parametrize(
    "present, disabled",
    [
        ([], ["field_losses", "rejected", "processed"]),
        (["processed"], ["field_losses", "rejected"]),
        (["rejected", "field_losses"], ["processed"]),
    ],
)
def test_feature_notices_for_absent_optional_columns(production, present, disabled):
    header = HEADER[:5] + present
    values = {"tag": "R1", "date": day(0), "cut": 10, "age_at_cut": 40, "processed": 3, "rejected": 1}
    path = production([header, [values.get(c, 0) for c in header]])
    result = Quillet.read(path)
    assert [n.subject for n in result.notices] == disabled
    for n in result.notices:
        assert (n.kind, n.source, n.week_index, n.tag) == (NoticeKind.FEATURE_DISABLED, "Quillet", None, None)
    assert result.notices[0].message == (
        f"{disabled[0]!r} column not present in 'prod.csv'; this is a non-paper extension with no "
        "Halvik equation to estimate it from, so it will simply not be modeled (treated as absent, not zero)."
    )
    for name in disabled:  # absent, not zero, and no balance check without both columns
        assert result.data[name].isna().all()


def test_missing_required_columns(production):
    fails(
        production([["date", "tag", "cut"], [day(0), "R1", 1]]),
        "production file 'prod.csv' missing required column(s): ['bagged', 'age_at_cut']; "
        "found columns: ['date', 'tag', 'cut']",
    )


def test_header_only(production):
    result = Quillet.read(production([HEADER[:5]]))
    assert list(result.data.columns) == OUTPUT and len(result.data) == 0
    assert len(result.notices) == 3


@pytest.mark.parametrize("bad", ["wk12", "2024-13-45"])
def test_unparseable_date_carries_the_parse_error(production, bad):
    path = production([HEADER, row(), row(tag="R2", date=bad)])
    with pytest.raises(ValueError) as parse:
        pd.to_datetime(pd.Series([day(0), bad]))
    error = fails(
        path,
        f"could not parse 'date' column in 'prod.csv' as calendar dates: {parse.value}; expected a "
        "real date (e.g. ISO 8601 'YYYY-MM-DD'), not a farm-specific week label",
    )
    assert type(error.__cause__) is type(parse.value) and str(error.__cause__) == str(parse.value)


@pytest.mark.parametrize(
    "tags, dates, rows",
    [
        (["R12", "R1", " R12"], [day(0)] * 3, "[0, 2]"),
        (["R1", "R1", "R2", "R1"], [day(0), day(1), day(1), day(0)], "[0, 3]"),
        (["R1", "R1"], [None, None], "[0, 1]"),
        ([None, "  ", "R1"], [day(0)] * 3, "[0, 1]"),
        (["R1", "R1"], ["2024-01-01", "2024-1-1"], None),
    ],
)
def test_duplicate_tag_date_pairs(production, tags, dates, rows):
    path = production([HEADER] + [row(tag=t, date=d) for t, d in zip(tags, dates)])
    if rows is None:
        assert len(Quillet.read(path).data) == len(tags)
    else:
        fails(path, f"duplicate (tag, date) rows at index {rows} in 'prod.csv'; expected at most one row per ribbon tag per date")


def test_only_the_first_negative_column_is_reported(production):
    rows = [HEADER, row(bagged=-1), row(tag="R2", processed=-1), row(tag="R3", bagged=-0.5)]
    fails(production(rows), "column 'bagged' contains negative value(s) at row(s) [0, 2] in 'prod.csv'; expected non-negative counts")


@pytest.mark.parametrize("column", HEADER[2:])
def test_negative_in_each_numeric_column(production, column):
    values = row()
    values[HEADER.index(column)] = -2
    fails(production([HEADER, row(tag="R0"), values]),
          f"column {column!r} contains negative value(s) at row(s) [1] in 'prod.csv'; expected non-negative counts")


@pytest.mark.parametrize(
    "cut, age, ok",
    [(5, None, False), (None, None, True), (0, None, True), ("lots", None, True), (0.1, 30, True)],
)
def test_harvest_age(production, cut, age, ok):
    path = production([HEADER[:5], ["R0", day(0), 1, 1, 1], ["R1", day(0), 1, cut, age]])
    if ok:
        assert len(Quillet.read(path).data) == 2
    else:
        fails(path, "'age_at_cut' is missing on row(s) [1] where 'cut' > 0 in 'prod.csv' -- an incomplete harvest record")


@pytest.mark.parametrize(
    "cut, processed, rejected, ok",
    [
        (10, 6, 4 + 5e-7, True),
        (10, 6, 4 + 1e-5, False),
        (2e-6, 1e-6, 0, True),  # off by exactly the tolerance
        (None, 3, 2, False),  # an empty cut counts as 0
        ("n/a", 3, 2, False),
        (None, None, None, True),
        (10, None, 2, True),  # no processed value: exempt
        (10, 7, None, True),
    ],
)
def test_harvest_balance(production, cut, processed, rejected, ok):
    path = production([HEADER, row(), row(tag="R2", cut=cut, age=30, rejected=rejected, processed=processed)])
    if ok:
        assert len(Quillet.read(path).data) == 2
    else:
        fails(path, "'cut' != 'processed' + 'rejected' on row(s) [1] in 'prod.csv'")


def test_balance_skipped_without_rejected_column(production):
    path = production([HEADER[:5] + ["processed"], ["R1", day(0), 1, 10, 40, 3]])
    assert Quillet.read(path).data["processed"].tolist() == [3.0]


def test_first_failing_rule_wins(production):
    rows = [HEADER, row(), row(date="wk3", bagged=-1), row(bagged=-1)]
    with pytest.raises(RibbonDataError, match="could not parse"):
        Quillet.read(production(rows))


def test_path_object_in_messages(tmp_path):
    path = tmp_path / "prod.csv"
    write_csv(path, [HEADER, row(cut=3, rejected=1, processed=1)])
    with pytest.raises(RibbonDataError) as info:
        Quillet.read(path=path)
    assert info.value.args == (f"'cut' != 'processed' + 'rejected' on row(s) [0] in {path!r}",)


@pytest.mark.parametrize(
    "tags, dates",
    [
        (["b", " a", None, "b", "  "], [day(0), day(0), day(1), None, day(2)]),
        (["a", "   "], [None, None]),
        (["x"], ["2024-03-01 10:30"]),
    ],
)
def test_output_matches_cell_by_cell_cleaning_and_parsing(production, tags, dates):
    path = production([HEADER] + [row(tag=t, date=d) for t, d in zip(tags, dates)])
    data = Quillet.read(path).data
    raw = pd.read_csv(path, dtype={"tag": str})
    expected_tags = raw["tag"].map(_clean_text)
    expected_dates = pd.to_datetime(raw["date"]).dt.date
    assert data["tag"].dtype == expected_tags.dtype and data["tag"].equals(expected_tags)
    assert data["date"].dtype == expected_dates.dtype and data["date"].equals(expected_dates)


# ------------------------------------------------------------- observation


def test_observation_record():
    obs = ProductionObservation(1, None, NAN, 2.5, 0, 3)
    assert obs == ProductionObservation(bagged=1.0, cut=None, age_at_cut=None, field_losses=2.5, rejected=0.0, processed=3.0)
    assert type(obs.bagged) is float and obs.age_at_cut is None  # never NaN
    assert hash(obs) == hash(copy.deepcopy(obs)) and pickle.loads(pickle.dumps(obs)) == obs
    assert copy.replace(obs, cut=4.0).cut == 4.0
    assert ProductionObservation.__match_args__ == tuple(HEADER[2:])
    assert repr(obs) == "ProductionObservation(bagged=1.0, cut=None, age_at_cut=None, field_losses=2.5, rejected=0.0, processed=3.0)"
    with pytest.raises(dataclasses.FrozenInstanceError):
        obs.cut = 1.0
    with pytest.raises(AttributeError):
        obs.__dict__
    with pytest.raises(TypeError):
        ProductionObservation(1, 2, 3, 4, 5)


@pytest.mark.parametrize(
    "value, expected",
    [(None, None), (NAN, None), (pd.NA, None), (pd.NaT, None), (np.float64("nan"), None),
     (3, 3.0), (np.int64(4), 4.0), ("2.5", 2.5), (True, 1.0)],
)
def test_optional_float(value, expected):
    got = quillet._optional_float(value)
    assert got == expected and (got is None or type(got) is float)


# -------------------------------------------------------------------- data


def test_empty_table(weather):
    data = RibbonProductionData(table([]), weather)
    assert data.tags() == () and data._first_week is None and data._last_week is None
    assert not any(data.week_is_covered(w) for w in range(-3, 4))
    assert data.observation("R1", 0) is None


def test_weeks_tags_and_later_rows(weather):
    rows = [
        ["R2", D0 + dt.timedelta(days=21), 1, 2, 3, None, None, None],
        ["R1", D0 + dt.timedelta(days=63), 1, 0, None, None, None, None],
        ["R2", D0 + dt.timedelta(days=22), 7, 8, 9, 1, 2, 6],  # same week as the first row: wins
        ["R1", D0 + dt.timedelta(days=-1), 0, 0, 0, 0, 0, 0],
    ]
    data = RibbonProductionData(data=table(rows), weather=weather)
    assert data.tags() == ("R1", "R2")
    assert (data._first_week, data._last_week) == (-1, 9)
    assert [w for w in range(-3, 12) if data.week_is_covered(w)] == list(range(-1, 10))
    assert data.observation("R2", 3) == ProductionObservation(7.0, 8.0, 9.0, 1.0, 2.0, 6.0)
    assert data.observation("R1", 9) == ProductionObservation(1.0, 0.0, None, None, None, None)
    assert data.observation("R1", 5) is None and data.observation("R3", 3) is None
    assert list(data._observations) == [("R2", 3), ("R1", 9), ("R1", -1)]


@pytest.mark.parametrize("week, found", [(3, True), (3.0, True), (np.int64(3), True), (3.5, False), (2**70, False)])
def test_observation_week_compares_by_value(week, found):
    data = RibbonProductionData(table([["R1", D0 + dt.timedelta(days=21), 1, 1, 1, 1, 0, 1]]), DuckProvider())
    assert (data.observation("R1", week) is not None) is found
    assert data.week_is_covered(week) is found


def test_text_week_is_never_recorded_and_not_comparable():
    data = RibbonProductionData(table([["R1", D0, 1, 1, 1, 1, 0, 1]]), DuckProvider())
    assert data.observation("R1", "0") is None
    with pytest.raises(TypeError):
        data.week_is_covered("0")


def test_unhashable_lookups_fail_as_a_mapping_would():
    data = RibbonProductionData(table([["R1", D0, 1, 1, 1, 1, 0, 1]]), DuckProvider())
    with pytest.raises(TypeError):
        data.observation(["R1"], 0)


def test_package_provider_gives_the_same_weeks():
    dates = [D0 + dt.timedelta(days=d) for d in (-15, -8, -7, -1, 0, 6, 7, 400)]
    frame = table([[f"T{i}", d, i, 0, None, None, None, None] for i, d in enumerate(dates)])
    native, duck = RibbonProductionData(frame, package_provider()), RibbonProductionData(frame, DuckProvider())
    assert native._observations == duck._observations
    assert (native._first_week, native._last_week) == (-3, 57)
    shifted = RibbonProductionData(frame, ShiftedProvider(pd.DataFrame({"date": [D0], "tmean": [20.0]})))
    assert (shifted._first_week, shifted._last_week) == (-2, 58)


@pytest.mark.parametrize("tag, date, column, rows", [
    ([None, "R1", NAN], [D0] * 3, "tag", "[0, 2]"),
    (["R1", "R2"], [D0, pd.NaT], "date", "[1]"),
    (["R1", "R2"], [None, D0], "date", "[0]"),
])
def test_rows_that_cannot_be_placed(tag, date, column, rows):
    frame = table([[t, d, 1, 0, None, None, None, None] for t, d in zip(tag, date)])
    need = "a ribbon tag" if column == "tag" else "a recording date to place it in a model week"
    with pytest.raises(RibbonDataError) as info:
        RibbonProductionData(frame, DuckProvider())
    assert info.value.args == (f"production table has no {column!r} value on row(s) {rows}; every record needs {need}",)


def test_from_file_names_the_file_for_rows_without_tag(production):
    path = production([HEADER, row(), row(tag="  ", date=day(1))])
    with pytest.raises(RibbonDataError) as info:
        RibbonProductionData.from_file(path, DuckProvider())
    assert info.value.args == ("production file 'prod.csv' has no 'tag' value on row(s) [1]; every record needs a ribbon tag",)


class Farm(RibbonProductionData):
    pass


def test_from_file_returns_subclass_and_reader_notices(production):
    path = production([HEADER[:7], ["R1", day(2), 1, 4, 30, 1, 1]])
    result = Farm.from_file(path, DuckProvider())
    assert type(result.data) is Farm and [n.subject for n in result.notices] == ["processed"]
    assert result.data.observation("R1", 2).processed is None
    assert type(pickle.loads(pickle.dumps(result.data))) is Farm


def test_provider_errors_propagate():
    class Broken:
        def week_index_for_date(self, d):
            raise LookupError(d)

    class Fractional:
        def week_index_for_date(self, d):
            return 2.5

    frame = table([["R1", D0, 1, 0, None, None, None, None]])
    with pytest.raises(LookupError):
        RibbonProductionData(frame, Broken())
    with pytest.raises(TypeError, match="expected a whole number of weeks"):
        RibbonProductionData(frame, Fractional())
    with pytest.raises(KeyError):
        RibbonProductionData(frame.drop(columns="field_losses"), DuckProvider())


def test_pickle_round_trip(production):
    rows = [HEADER] + [row(tag=f"R{i % 7}", date=day(i // 7, i % 3)) for i in range(60)]
    data = RibbonProductionData.from_file(production(rows), package_provider()).data
    back = pickle.loads(pickle.dumps(data))
    assert back.tags() == data.tags() and back._observations == data._observations
    assert (back._first_week, back._last_week) == (data._first_week, data._last_week)


def test_workbook_date_cells(production):
    noon = dt.datetime(2024, 1, 1, 12)
    rows = [HEADER[:5], ["R1", dt.datetime(2024, 1, 1), 1, 0, None], ["R1", noon, 1, 0, None]]
    assert Quillet.read(production(rows, ".xlsx")).data["date"].tolist() == [D0, D0]
    rows.append(["R1", noon, 2, 0, None])
    fails(production(rows, ".xlsx"), "duplicate (tag, date) rows at index [1, 2] in 'prod.xlsx'; expected at most one row per ribbon tag per date")
    rows[-1] = ["R2", dt.time(10, 0), 2, 0, None]  # not convertible: a type error of the parser
    path = production(rows, ".xlsx")
    with pytest.raises(TypeError) as parse:
        pd.to_datetime(pd.read_excel(path)["date"])
    error = fails(path, f"could not parse 'date' column in 'prod.xlsx' as calendar dates: {parse.value}; "
                        "expected a real date (e.g. ISO 8601 'YYYY-MM-DD'), not a farm-specific week label")
    assert type(error.__cause__) is TypeError


@pytest.mark.parametrize(
    "pairs",
    [
        [(f"T{t}", day(d)) for t in range(3) for d in range(4)],  # few distinct tags and dates
        [(f"T{i}", day(i)) for i in range(60)],  # a distinct tag and date on every row
    ],
)
def test_duplicates_among_many_rows(production, pairs):
    rows = [row(tag=t, date=d) for t, d in pairs + [pairs[5]]]
    fails(production([HEADER] + rows),
          f"duplicate (tag, date) rows at index [5, {len(pairs)}] in 'prod.csv'; expected at most one row per ribbon tag per date")
