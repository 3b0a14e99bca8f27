"""Weather quality checks: each fault in a daily table gives its notice, a clean table none."""

import datetime as dt

import pandas as pd
import pytest

from py_narvo_pop.quality import (
    QualityNotice,
    check_coverage,
    check_inventory_table,
    check_schedule_file,
    check_weather,
)

DAYS = pd.date_range("2021-03-01", periods=28, freq="D")  # four whole weeks


def clean():
    return pd.DataFrame({"date": DAYS.strftime("%Y-%m-%d"), "tmean": 25.0})


def checks(table, **kw):
    return [n.check for n in check_weather(table, **kw)]


def test_clean_table_has_no_notice():
    assert check_weather(clean()) == []


@pytest.mark.parametrize("change, check, needle", [
    (lambda t: t.assign(tmean=t["tmean"] * 1.8 + 32), "units", "looks like °F"),
    (lambda t: t.assign(tmean=t["tmean"] + 273.15), "units", "looks like kelvin"),
    (lambda t: t.assign(tmean=[25.0] * 10 + [265.0] + [25.0] * 17), "units", "265 on 2021-03-11"),
    (lambda t: t.drop(index=[9, 10, 20]), "missing_days", "2021-03-10..2021-03-11, 2021-03-21"),
    (lambda t: t.iloc[[*range(5), 4, *range(5, 28)]].reset_index(drop=True), "duplicate_days",
     "2021-03-05"),
    (lambda t: t.iloc[:-3], "partial_week", "last week (week_index 3, to 2021-03-28) lacks 3"),
    (lambda t: t.iloc[[1, 0, *range(2, 28)]].reset_index(drop=True), "order", "row 1"),
    # Newest first: backwards, never "day first" (year-first dates are unambiguous).
    (lambda t: t.iloc[::-1].reset_index(drop=True), "order", "27 time(s)"),
    (lambda t: t.assign(tmean=[25.0] * 14 + [None, "n/a"] + [25.0] * 12), "missing_values",
     "2 day(s) without a value (2021-03-15, 2021-03-16)"),
    (lambda t: t.assign(date=range(44256, 44284)), "numeric_dates", "the dates are numbers (44256, 44257"),
    (lambda t: t.assign(date=DAYS.strftime("%Y%m%d").astype(int)), "numeric_dates", "20210301"),
])
def test_each_fault_gives_its_notice(change, check, needle):
    notices = check_weather(change(clean()))
    assert [n.check for n in notices] == [check]
    assert needle in notices[0].message


def test_day_first_file_is_recognised_and_says_nothing_else():
    table = clean().assign(date=DAYS.strftime("%d/%m/%Y"))
    notices = check_weather(table)
    assert [n.check for n in notices] == ["day_first"]
    assert "01/03/2021 reads 2021-01-03 (not 2021-03-01)" in notices[0].message
    # A month-first file of the same days is regular and ambiguous only in appearance.
    assert check_weather(clean().assign(date=DAYS.strftime("%m/%d/%Y"))) == []


def test_partial_first_week_against_a_run_start_and_heat_units():
    table = pd.DataFrame({"date": DAYS, "hu": [5.0] * 27 + [-2.0]})
    notices = check_weather(table, temperatures=(), heat_units="hu",
                            run_start_date=dt.date(2021, 2, 27))
    assert [n.check for n in notices] == ["partial_week", "partial_week", "units"]
    assert "first week (week_index 0, from 2021-02-27) lacks 2" in notices[0].message
    assert "negative" in notices[2].message


def test_coverage_and_notice_text():
    notices = check_coverage(["2021-01-01", "2021-06-01", None], dt.date(2021, 3, 1),
                             dt.date(2021, 3, 28))
    assert notices == [QualityNotice("coverage", "date", notices[0].message)]
    assert "2 record date(s)" in notices[0].message and "2021-01-01, 2021-06-01" in notices[0].message
    assert str(notices[0]).startswith("[quality] coverage: date: ")
    assert check_coverage(["2021-03-05"], dt.date(2021, 3, 1), dt.date(2021, 3, 28)) == []


@pytest.mark.parametrize("text, check, needle", [
    ("replacement_shedule:\n  110: 400\n", "unread_keys", "looks like a misspelt 'replacement_schedule'"),
    ("replacement_schedule:\n  110: 400\nnotes: x\n", "unread_keys", "key(s) ['notes'] are not read; only"),
    ("replacement_schedule:\n  110: 400\n  110: 500\n", "schedule_weeks", "week 110 listed twice"),
    ("replacement_schedule:\n  110: 400\n  '110': 5\n", "schedule_weeks", "week 110 listed twice"),
    ("replacement_schedule:\n  110.5: 400\n", "schedule_weeks", "110.5 (read as week 110)"),
    ("replacement_schedule:\n  110: true\n", "schedule_weeks", "true and false read as 1 and 0"),
    ("notes: a\nreplacment_schedule:\n  110: 400\n", "unread_keys", "'replacment_schedule' looks like a misspelt"),
    ("replacement_schedule:\n  110: 400\nmeta: {a: 1, a: 2}\n", "unread_keys", "key(s) ['meta'] are not read"),
])
def test_schedule_file_read_other_than_written(tmp_path, text, check, needle):
    path = tmp_path / "schedule.yaml"
    path.write_text(text, encoding="utf-8")
    notices = check_schedule_file(str(path))
    assert [n.check for n in notices] == [check] and needle in notices[0].message


@pytest.mark.parametrize("text", ["replacement_schedule:\n  110: 400\n  111: 2.5\n", "", "[1, 2]\n", ":\n  - {"])
def test_schedule_file_read_as_written_or_unreadable_has_no_notice(tmp_path, text):
    path = tmp_path / "schedule.yaml"
    path.write_text(text, encoding="utf-8")
    assert check_schedule_file(str(path)) == []


def test_inventory_rows_a_run_would_refuse():
    table = pd.DataFrame({"chain": ["pre_flowering", "post_flowering", "pre_flowering"],
                          "population": [5.0, 3.0, 2.0], "age_weeks": [4, 4, 4]})
    notices = check_inventory_table(table)
    assert [n.check for n in notices] == ["duplicate_groups"]
    assert "pre_flowering age 4 (rows 0, 2)" in notices[0].message
    assert check_inventory_table(table.iloc[:2]) == []
