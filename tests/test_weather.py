"""Weather provider, week calendar, weekly heat units and thermal queries."""

import copy
import dataclasses
from fractions import Fraction
import datetime as dt
import pickle
import subprocess
import sys

import numpy as np
import pandas as pd
import pytest

from py_narvo_pop.exceptions import WeatherError
from py_narvo_pop.weather import ColumnMap, WeatherProvider

D0 = dt.date(2024, 1, 1)


def daily(values, start=D0, column="tmean", step=1):
    dates = [start + dt.timedelta(days=i * step) for i in range(len(values))]
    return pd.DataFrame({"date": pd.to_datetime(dates), column: values})


def weekly_provider(totals, first_week=0):
    """One heat-unit row per week, so each week totals exactly its value."""
    frame = daily(totals, start=D0 + dt.timedelta(weeks=first_week), column="heat_units", step=7)
    return WeatherProvider(frame, ColumnMap(heat_units="heat_units"),
                           run_start_date=D0)


def coverage_error(week, first, last):
    return f"week_index {week} is outside the weather data's coverage ({first}..{last})"


def plain_pandas_weekly(frame, base, start, week_length):
    """The weekly totals computed the plain pandas way: a groupby on the week."""
    heat = (frame["tmean"].astype(float) - base).clip(lower=0.0)
    dates = pd.to_datetime(frame["date"]).dt.date
    start = start if start is not None else min(dates)
    weeks = np.array([(d - start).days // week_length for d in dates])
    return {int(k): float(v) for k, v in heat.groupby(weeks).sum().items()}


# ------------------------------------------------------------ ColumnMap ---


def test_column_map_defaults_and_fields():
    assert ColumnMap() == ColumnMap("date", "tmean", None)
    cm = ColumnMap(heat_units="hu")
    assert (cm.date, cm.tmean, cm.heat_units) == ("date", "tmean", "hu")
    assert ColumnMap(None, None, None).date is None


@pytest.mark.parametrize("a, b, equal", [
    (ColumnMap(), ColumnMap(), True),
    (ColumnMap("d", "t", "h"), ColumnMap(date="d", tmean="t", heat_units="h"), True),
    (ColumnMap(), ColumnMap(tmean=None), False),
    (ColumnMap(), ColumnMap(heat_units="tmean"), False),
])
def test_column_map_equality_and_hash(a, b, equal):
    assert (a == b) is equal
    if equal:
        assert hash(a) == hash(b)


@pytest.mark.parametrize("field", ["date", "tmean", "heat_units", "other"])
def test_column_map_is_frozen(field):
    with pytest.raises(dataclasses.FrozenInstanceError):
        setattr(ColumnMap(), field, "x")


def test_column_map_copies_and_pickles():
    cm = ColumnMap("Day", None, "HU")
    assert repr(cm) == "ColumnMap(date='Day', tmean=None, heat_units='HU')"
    assert pickle.loads(pickle.dumps(cm)) == cm
    assert copy.replace(cm, tmean="T") == ColumnMap("Day", "T", "HU")


# ------------------------------------------------- construction, weeks ---


def test_worked_example_daily_floor_and_missing_value():
    p = WeatherProvider(daily([20.0, 10.0, None, 16.5]), base_temperature_c=14.0)
    assert p._weekly_heat_units == {0: 8.5}
    assert (p.min_week_index, p.max_week_index) == (0, 0)
    assert (p._first_week, p._last_week) == (0, 0)
    assert p._run_start_date == D0 and type(p._run_start_date) is dt.date


@pytest.mark.parametrize("tmean, expected", [(14.0, 0.0), (9.0, 0.0), (21.5, 7.5), (14.25, 0.25)])
def test_default_base_temperature(tmean, expected):
    assert WeatherProvider(daily([tmean])).thermal_increment(0) == expected


def test_heat_units_taken_as_given():
    frame = daily([5.0, -3.0, 1.5]).rename(columns={"tmean": "hu"}).assign(tmean=[100.0] * 3)
    p = WeatherProvider(frame, ColumnMap(heat_units="hu"), base_temperature_c=50.0)
    assert p._weekly_heat_units == {0: 3.5}
    assert p._base_temperature_c == 50.0


def test_run_start_after_first_rows_gives_negative_weeks():
    p = WeatherProvider(daily([20.0] * 10), run_start_date=D0 + dt.timedelta(days=8))
    # Day offsets -8..1: -8 is week -2, -7..-1 week -1, 0..1 week 0.
    assert p._weekly_heat_units == {-2: 6.0, -1: 42.0, 0: 12.0}
    assert p.min_week_index == -2
    assert p.week_index_for_date(D0 + dt.timedelta(days=7)) == -1


@pytest.mark.parametrize("week_length, offsets_by_week", [
    (7, {0: range(0, 7), 1: range(7, 14)}),
    (10, {0: range(0, 10), 1: range(10, 20)}),
    (1, {0: [0], 1: [1]}),
])
def test_week_length_places_days(week_length, offsets_by_week):
    p = WeatherProvider(daily([15.0] * 20), week_length_days=week_length)
    for week, offsets in offsets_by_week.items():
        for offset in offsets:
            assert p.week_index_for_date(D0 + dt.timedelta(days=offset)) == week
        assert p.thermal_increment(week) == float(len(offsets))


def test_rows_with_the_same_date_and_any_order():
    frame = daily([20.0, 16.0, 30.0, 18.0])
    frame.loc[1, "date"] = frame.loc[0, "date"]
    shuffled = frame.iloc[[3, 1, 2, 0]]
    assert WeatherProvider(frame)._weekly_heat_units == {0: 28.0}
    assert WeatherProvider(shuffled)._weekly_heat_units == {0: 28.0}


def test_week_with_only_missing_values_is_covered():
    frame = daily([20.0] * 7 + [None] * 7 + [21.0])
    p = WeatherProvider(frame)
    assert p._weekly_heat_units == {0: 42.0, 1: 0.0, 2: 7.0}
    assert p.thermal_increment(1) == 0.0


def test_times_of_day_and_time_zones_are_dropped_to_the_date():
    stamps = pd.Series(pd.to_datetime(["2024-01-07 23:59", "2024-01-08 00:01"]))
    local = stamps.dt.tz_localize("America/Chicago")
    for dates in (stamps, local, stamps.astype("datetime64[s]")):
        p = WeatherProvider(pd.DataFrame({"date": dates, "tmean": [15.0, 16.0]}), run_start_date=D0)
        assert p._weekly_heat_units == {0: 1.0, 1: 2.0}


def test_text_dates_use_the_default_parsing():
    frame = pd.DataFrame({"date": ["2024-01-01", "2024-01-09"], "tmean": ["20", "21"]})
    assert WeatherProvider(frame)._weekly_heat_units == {0: 6.0, 1: 7.0}


@pytest.mark.parametrize("seed, week_length, start", [
    (1, 7, None), (2, 7, dt.date(2000, 3, 15)), (3, 10, None), (4, 5, dt.date(2011, 6, 1)),
])
def test_weekly_totals_match_a_pandas_groupby_exactly(seed, week_length, start):
    rng = np.random.default_rng(seed)
    n = 3000
    dates = pd.Timestamp("2001-01-01") + pd.to_timedelta(rng.integers(0, 4000, n), unit="D")
    tmean = rng.normal(20.0, 6.0, n) * rng.choice([1.0, 1e-9, 1e9], n)
    tmean[rng.random(n) < 0.05] = np.nan
    frame = pd.DataFrame({"date": dates, "tmean": tmean})
    p = WeatherProvider(frame, base_temperature_c=14.0, week_length_days=week_length,
                        run_start_date=start)
    assert p._weekly_heat_units == plain_pandas_weekly(frame, 14.0, start, week_length)


# -------------------------------------------------------- calendar maths ---


@pytest.mark.parametrize("week_length", [1, 7, 10])
@pytest.mark.parametrize("week", [-600, -1, 0, 1, 5, 4000])
def test_calendar_round_trip(week_length, week):
    p = WeatherProvider(daily([15.0]), week_length_days=week_length)
    first_day = p.calendar_date_for_week(week)
    assert first_day == D0 + dt.timedelta(days=week * week_length)
    assert p.week_index_for_date(first_day) == week
    assert p.week_index_for_date(first_day - dt.timedelta(days=1)) == week - 1


@pytest.mark.parametrize("call, error", [
    (lambda p: p.calendar_date_for_week(10**12), OverflowError),
    (lambda p: p.calendar_date_for_week(10**7), OverflowError),
    (lambda p: p.week_index_for_date(dt.datetime(2024, 1, 1)), TypeError),
    (lambda p: p.week_index_for_date("2024-01-01"), TypeError),
])
def test_calendar_refuses_like_date_arithmetic(call, error):
    with pytest.raises(error):
        call(WeatherProvider(daily([15.0])))


# ------------------------------------------------------------ failures ---


@pytest.mark.parametrize("frame, columns, message", [
    (daily([1.0]), ColumnMap(heat_units="hu"),
     "heat_units column 'hu' not found in weather data"),
    (daily([1.0]), ColumnMap(tmean="TAVG"),
     "tmean column 'TAVG' not found in weather data (and no heat_units column was given)"),
    (daily([1.0]), ColumnMap(tmean=None),
     "tmean column None not found in weather data (and no heat_units column was given)"),
    (pd.DataFrame({"x": [1.0]}), ColumnMap(),
     "tmean column 'tmean' not found in weather data (and no heat_units column was given)"),
])
def test_weather_errors(frame, columns, message):
    with pytest.raises(WeatherError) as info:
        WeatherProvider(frame, columns)
    assert str(info.value) == message


def test_empty_table_is_a_value_error():
    with pytest.raises(ValueError) as info:
        WeatherProvider(daily([1.0]).iloc[:0], ColumnMap())
    assert str(info.value) == "weather data has no rows; expected one row per day"


def test_rows_without_a_date_are_named_by_label():
    frame = daily([20.0] * 5, column="T").rename(columns={"date": "Day"})
    frame.index = [10, 11, 12, 13, 14]
    frame.loc[[11, 14], "Day"] = pd.NaT
    with pytest.raises(ValueError) as info:
        WeatherProvider(frame, ColumnMap(date="Day", tmean="T"))
    assert str(info.value) == "weather data has rows with a missing 'Day' value at row(s) [11, 14]"


@pytest.mark.parametrize("frame, kwargs, error", [
    (daily([1.0]).drop(columns="date"), {}, KeyError),
    (daily(["warm"]), {}, ValueError),
    (daily([1.0]), {"week_length_days": 0}, ValueError),
    (daily([1.0]), {"week_length_days": 7.0}, TypeError),
    (daily([1.0]), {"run_start_date": dt.datetime(2024, 1, 1)}, TypeError),
    (daily([1.0]), {"run_start_date": "2024-01-01"}, TypeError),
])
def test_host_and_library_errors_pass_through(frame, kwargs, error):
    with pytest.raises(error):
        WeatherProvider(frame, **kwargs)


def test_columns_none_fails_on_attribute_access():
    with pytest.raises(AttributeError, match="heat_units"):
        WeatherProvider(daily([1.0]), None)


# ------------------------------------------------------ thermal queries ---


@pytest.fixture
def four_weeks():
    return weekly_provider([8.5, 10.0, 0.0, 12.25])


def test_worked_example_thermal_queries(four_weeks):
    p = four_weeks
    assert p.thermal_increment(1) == 10.0
    assert p.thermal_sum_between(0, 2) == 18.5
    assert p.thermal_sum_between(3, 3) == 12.25
    assert p.thermal_trajectory(1, 3) == [10.0, 10.0, 22.25]
    assert p.thermal_trajectory(3, 2) == []
    empty = p.thermal_sum_between(2, 1)
    assert empty == 0 and type(empty) is int


@pytest.mark.parametrize("call, week", [
    (lambda p: p.thermal_increment(4), 4),
    (lambda p: p.thermal_sum_between(2, 5), 4),
    (lambda p: p.thermal_sum_between(-3, 1), -3),
    (lambda p: p.thermal_trajectory(-1, 0), -1),
    (lambda p: p._week_total(10**30), 10**30),
    (lambda p: p.thermal_sum_between(2, 10**30), 4),
])
def test_uncovered_weeks_are_refused(four_weeks, call, week):
    with pytest.raises(WeatherError) as info:
        call(four_weeks)
    assert str(info.value) == coverage_error(week, 0, 3)


@pytest.mark.parametrize("call", [
    lambda p: p.thermal_increment(2),
    lambda p: p.thermal_sum_between(1, 3),
    lambda p: p.thermal_trajectory(0, 3),
])
def test_a_gap_is_refused_by_membership(call):
    dates = pd.to_datetime([D0, D0 + dt.timedelta(weeks=1), D0 + dt.timedelta(weeks=3)])
    p = WeatherProvider(pd.DataFrame({"date": dates, "hu": [1.0, 2.0, 4.0]}),
                        ColumnMap(heat_units="hu"))
    assert sorted(p._weekly_heat_units) == [0, 1, 3]
    with pytest.raises(WeatherError) as info:
        call(p)
    assert str(info.value) == coverage_error(2, 0, 3)


@pytest.mark.parametrize("start, end", [(10, 9), (100, -100), (-50, -60)])
def test_reversed_spans_are_empty_anywhere(four_weeks, start, end):
    assert four_weeks.thermal_sum_between(start, end) == 0
    assert four_weeks.thermal_trajectory(start, end) == []


def test_sum_is_the_builtin_sum_and_trajectory_plain_addition():
    totals = [1.0, 1e100, 1.0, -1e100, 0.1, 0.2, 0.3]
    p = weekly_provider(totals, first_week=-2)
    assert p.thermal_sum_between(-2, 4) == sum(totals)
    assert p.thermal_sum_between(-2, 1) == 2.0
    running, plain = 0.0, []
    for v in totals:
        running += v
        plain.append(running)
    assert p.thermal_trajectory(-2, 4) == plain
    assert p.thermal_trajectory(-2, 1)[-1] == 0.0
    assert all(p.thermal_sum_between(w, w) == p.thermal_increment(w) for w in range(-2, 5))


@pytest.mark.parametrize("method", ["thermal_sum_between", "thermal_trajectory"])
@pytest.mark.parametrize("start, end", [(2.0, 3), (0, 3.0), (3.0, 1), ("0", 1)])
def test_span_bounds_must_be_whole_numbers(four_weeks, method, start, end):
    with pytest.raises(TypeError):
        getattr(four_weeks, method)(start, end)


@pytest.mark.parametrize("key, expected", [
    (1.0, 10.0), (np.int64(3), 12.25), (True, 10.0), (Fraction(6, 2), 12.25),
])
def test_single_week_lookup_is_a_mapping_lookup(four_weeks, key, expected):
    assert four_weeks.thermal_increment(key) == expected


@pytest.mark.parametrize("key, text", [(1.5, "1.5"), (float("nan"), "nan"), ("1", "1")])
def test_single_week_lookup_refuses_non_keys(four_weeks, key, text):
    with pytest.raises(WeatherError, match=rf"^week_index {text} is outside"):
        four_weeks.thermal_increment(key)


def test_refused_query_leaves_the_provider_usable(four_weeks):
    with pytest.raises(WeatherError):
        four_weeks.thermal_trajectory(0, 9)
    assert four_weeks.thermal_trajectory(0, 3) == [8.5, 18.5, 18.5, 30.75]


# -------------------------------------------- class methods, subclasses ---


@pytest.mark.parametrize("stored, used", [(7, 7), ("7", 7), (7.0, 7), (7.9, 7), ("10", 10)])
def test_from_params_converts_the_week_length(params, stored, used):
    params.general["week_length_days"] = stored
    params.general["base_temperature_c"] = 10.0
    p = WeatherProvider.from_params(daily([20.0] * 10), params)
    assert p._week_length_days == used and type(p._week_length_days) is int
    assert p._base_temperature_c == 10.0
    assert p.thermal_increment(0) == 10.0 * used


def test_from_params_missing_key_passes_through(params):
    del params.general["week_length_days"]
    with pytest.raises(KeyError):
        WeatherProvider.from_params(daily([20.0]), params)


class Recorder(WeatherProvider):
    """A caller's subclass that overrides the weekly lookup."""

    def _week_total(self, week_index):
        self.looked_up = getattr(self, "looked_up", []) + [week_index]
        return 2 * super()._week_total(week_index)


def test_class_methods_build_the_subclass(params, tmp_path):
    frame = daily([20.0] * 3)
    path = tmp_path / "w.csv"
    frame.assign(date=frame["date"].dt.strftime("%Y-%m-%d")).to_csv(path, index=False)
    built = [
        Recorder(frame),
        Recorder.from_params(frame, params),
        Recorder.from_file(path),
        Recorder.from_file_and_params(path, params),
    ]
    for p in built:
        assert type(p) is Recorder
        assert p._weekly_heat_units == {0: 18.0}


def test_subclass_lookup_serves_every_query():
    p = Recorder(daily([15.0] * 21))
    assert p.thermal_increment(1) == 14.0
    assert p.thermal_sum_between(0, 2) == 42.0
    assert p.thermal_trajectory(0, 2) == [14.0, 28.0, 42.0]
    assert p.looked_up == [1, 0, 1, 2, 0, 1, 2]
    assert p.thermal_sum_between(2, 1) == 0


def test_private_state_is_read_only(four_weeks):
    for name in ["_base_temperature_c", "_week_length_days", "_run_start_date",
                 "_weekly_heat_units", "_first_week", "_last_week", "min_week_index"]:
        with pytest.raises(AttributeError):
            setattr(four_weeks, name, 1)
    with pytest.raises(AttributeError):
        four_weeks.extra = 1
    four_weeks._weekly_heat_units[0] = 99.0
    assert four_weeks.thermal_increment(0) == 8.5


def test_pickle_and_copies_keep_calendar_and_totals():
    p = WeatherProvider(daily([20.0, None, 17.0] * 5), week_length_days=4,
                        base_temperature_c=12, run_start_date=dt.date(2023, 12, 30))
    sub = Recorder(daily([20.0] * 8))
    sub.note = "kept"
    for original in (p, sub):
        for clone in (pickle.loads(pickle.dumps(original)), copy.deepcopy(original)):
            assert type(clone) is type(original)
            assert clone._weekly_heat_units == original._weekly_heat_units
            assert (clone._run_start_date, clone._week_length_days, clone._base_temperature_c) == (
                original._run_start_date, original._week_length_days, original._base_temperature_c)
            assert clone.calendar_date_for_week(3) == original.calendar_date_for_week(3)
    assert pickle.loads(pickle.dumps(sub)).note == "kept"
    with pytest.raises(TypeError):
        p.__setstate__(p.__reduce__()[2])


@pytest.mark.parametrize("first", ["weather", "readers.vimlo"])
def test_weather_and_reader_load_in_either_order(first, tmp_path):
    path = tmp_path / "w.csv"
    path.write_text("date,tmean\n2024-01-01,20\n2024-01-02,21\n")
    second = "readers.vimlo" if first == "weather" else "weather"
    code = (f"import py_narvo_pop.{first}, py_narvo_pop.{second}\n"
            "from py_narvo_pop.weather import WeatherProvider\n"
            f"print(WeatherProvider.from_file({str(path)!r})._weekly_heat_units)\n")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "{0: 13.0}"


# ------------------------------------------------------ providers from files ---


@pytest.fixture
def mixed_csv(tmp_path):
    path = tmp_path / "weather.csv"
    path.write_text("Day,TAVG,HU,Rain\n"
                    "2024-01-01,20.0,1.5,0\n"
                    "01/02/2024,10.0,-2.0,3\n"
                    "2024-01-03 14:30,16.5,4.0,0\n"
                    "Jan 8 2024,30.0,0.25,1\n")
    return path


@pytest.fixture
def mixed_xlsx(tmp_path):
    openpyxl = pytest.importorskip("openpyxl")
    path = tmp_path / "weather.xlsx"
    book = openpyxl.Workbook()
    sheet = book.active
    sheet.append(["Day", "TAVG", "HU", "Rain"])
    sheet.append([dt.datetime(2024, 1, 1), 20.0, 1.5, 0])
    sheet.append(["01/02/2024", 10.0, -2.0, 3])
    sheet.append([dt.datetime(2024, 1, 3, 14, 30), 16.5, 4.0, 0])
    sheet.append(["2024-01-08", 30.0, 0.25, 1])
    book.save(path)
    return path


@pytest.mark.parametrize("source", ["mixed_csv", "mixed_xlsx"])
def test_provider_from_a_file_with_mixed_date_forms(source, request, params):
    path = request.getfixturevalue(source)
    p = WeatherProvider.from_file(path, ColumnMap(date="Day", tmean="TAVG"))
    assert p._weekly_heat_units == {0: 8.5, 1: 16.0}
    assert p._run_start_date == D0
    hu = WeatherProvider.from_file(str(path), ColumnMap(date="Day", heat_units="HU"),
                                   base_temperature_c=99.0)
    assert hu._weekly_heat_units == {0: 3.5, 1: 0.25}
    params.general.update(base_temperature_c=10.0, week_length_days="3")
    fp = WeatherProvider.from_file_and_params(path, params, ColumnMap(date="Day", tmean="TAVG"),
                                              run_start_date=dt.date(2023, 12, 31))
    assert fp._weekly_heat_units == {0: 10.0, 1: 6.5, 2: 20.0}


def test_from_file_with_columns_none_reads_then_fails(tmp_path):
    path = tmp_path / "w.csv"
    path.write_text("date,tmean\n2024-01-01,20\n")
    with pytest.raises(AttributeError):
        WeatherProvider.from_file(path, None)
    with pytest.raises(FileNotFoundError):
        WeatherProvider.from_file(tmp_path / "absent.csv", None)


@pytest.mark.parametrize("text, message", [
    ("date,tmean\n", "weather data has no rows; expected one row per day"),
    ("date,tmean\n,20\n2024-01-02,21\n,22\n",
     "weather data has rows with a missing 'date' value at row(s) [0, 2]"),
])
def test_unplaceable_file_rows_are_value_errors(tmp_path, text, message):
    path = tmp_path / "w.csv"
    path.write_text(text)
    with pytest.raises(ValueError) as info:
        WeatherProvider.from_file(path)
    assert str(info.value) == message


def test_missing_daily_value_in_file_still_covers_its_week(tmp_path):
    path = tmp_path / "w.csv"
    path.write_text("date,tmean\n2024-01-01,20\n2024-01-09,\n")
    p = WeatherProvider.from_file(path)
    assert p._weekly_heat_units == {0: 6.0, 1: 0.0}
    assert p.thermal_sum_between(0, 1) == 6.0
