"""The provider's two paths: the native lookup and a replaced _week_total.

Every thermal query is answered either from the weekly table or, when the
lookup has been replaced anywhere a Python attribute lookup would find it,
through the replacement. A replacement that only delegates must give the
same answers and the same failures as the native path.
"""

import datetime as dt
import math
import random

import numpy as np
import pandas as pd
import pytest

from py_narvo_pop.exceptions import WeatherError
from py_narvo_pop.weather import ColumnMap, WeatherProvider

D0 = dt.date(2024, 1, 1)
HEAT = ColumnMap(tmean=None, heat_units="heat_units")


class Delegating(WeatherProvider):
    """Replaces the lookup by one that asks the native lookup: the Python path."""

    def _week_total(self, week_index):
        return super()._week_total(week_index)


def ragged_daily(seed):
    """Days over about 30 weeks with gaps, values of very different sizes."""
    rng = random.Random(seed)
    days = [d for d in range(210) if not 50 <= d < 64 and not 120 <= d < 127]
    values = [rng.choice([1e16, -1e16, 1.0, 0.1, 3.3e-5, rng.uniform(-50, 50)]) for _ in days]
    return pd.DataFrame({"date": [D0 + dt.timedelta(days=d) for d in days],
                         "heat_units": values})


def outcome(call):
    try:
        value = call()
    except Exception as e:  # the failure itself is the outcome compared
        return ("raised", type(e), str(e))
    return ("value", type(value), value)


SPANS = [(0, 5), (-3, 2), (5, 5), (6, 4), (10**30, 10**30 + 2), (-10**30, 0), (0, 10**30),
         (8, 12), (7, 7), (25, 40), (3, 2**63 - 1), (2**63 - 2, 2**63),
         (np.int64(1), np.int64(6)), (True, 3), (2.0, 4), (0, 4.0)]


@pytest.mark.parametrize("seed", [1, 2, 3])
@pytest.mark.parametrize("start, end", SPANS)
@pytest.mark.parametrize("query", ["thermal_sum_between", "thermal_trajectory"])
def test_span_queries_agree_between_paths(seed, start, end, query):
    frame = ragged_daily(seed)
    start_date = D0 + dt.timedelta(days=14)  # two weeks before week 0
    native = WeatherProvider(frame, HEAT, run_start_date=start_date)
    python = Delegating(frame, HEAT, run_start_date=start_date)
    ours = outcome(lambda: getattr(native, query)(start, end))
    theirs = outcome(lambda: getattr(python, query)(start, end))
    assert ours == theirs
    if ours[0] == "value" and query == "thermal_sum_between":
        # the built-in sum over the same lookups, compensation included
        assert ours[2] == sum(map(python._week_total, range(start, end + 1)))


@pytest.mark.parametrize("week", [-2, 0, 7, 8, 9, 17, 29, 10**40, -1, 2.0, 2.5, np.int32(3),
                                  True, math.inf, math.nan])
def test_single_week_agrees_between_paths(week):
    frame = ragged_daily(4)
    native = WeatherProvider(frame, HEAT)
    python = Delegating(frame, HEAT)
    assert outcome(lambda: native.thermal_increment(week)) == \
        outcome(lambda: python.thermal_increment(week))


# -------------------------------------------- where the lookup is replaced ---

def doubled(self, week_index):
    return 2.0 * WeatherProvider._week_total(self, week_index)


class Mixin:
    _week_total = doubled


class MixedIn(Mixin, WeatherProvider):
    pass


class BaseFirst(WeatherProvider, Mixin):
    pass


class Overrides(WeatherProvider):
    _week_total = doubled


class Grandchild(Overrides):
    pass


class RestoresNative(Overrides):
    _week_total = WeatherProvider._week_total


class Slotted(WeatherProvider):
    __slots__ = ()


@pytest.mark.parametrize("cls, factor", [
    (MixedIn, 2.0),          # found in a class before WeatherProvider in the MRO
    (BaseFirst, 1.0),        # WeatherProvider's own comes first
    (Overrides, 2.0),
    (Grandchild, 2.0),       # inherited from an overriding class
    (RestoresNative, 1.0),   # the native function itself, set again lower down
    (Slotted, 1.0),          # no instance dict to look in
])
def test_the_lookup_that_attribute_lookup_finds_is_used(cls, factor):
    frame = pd.DataFrame({"date": [D0 + dt.timedelta(days=d) for d in range(14)],
                          "heat_units": [1.0] * 14})
    p = cls(frame, HEAT)
    assert p.thermal_increment(1) == 7.0 * factor
    assert p.thermal_sum_between(0, 1) == 14.0 * factor
    assert p.thermal_trajectory(0, 1) == [7.0 * factor, 14.0 * factor]


def test_a_lookup_set_on_the_class_later_is_used_and_removing_it_restores_native():
    class Late(WeatherProvider):
        pass

    frame = pd.DataFrame({"date": [D0 + dt.timedelta(days=d) for d in range(7)],
                          "heat_units": [1.0] * 7})
    p = Late(frame, HEAT)
    assert p.thermal_sum_between(0, 0) == 7.0
    Late._week_total = doubled
    assert p.thermal_sum_between(0, 0) == 14.0
    del Late._week_total
    assert p.thermal_sum_between(0, 0) == 7.0


# ------------------------------------------------ the calendar's arithmetic ---

INT64_MAX = 2**63 - 1


@pytest.mark.parametrize("week_length", [1, 7, 10**6, 2**62, INT64_MAX])
@pytest.mark.parametrize("week", [0, 1, -1, 2, -2, 10**5, -10**5, 2**31, 2**62, -2**62,
                                  INT64_MAX, -INT64_MAX - 1, 2**63, -2**63 - 1])
def test_calendar_date_for_week_is_date_arithmetic(week_length, week):
    frame = pd.DataFrame({"date": [D0], "tmean": [20.0]})
    p = WeatherProvider(frame, week_length_days=week_length)

    def by_hand():
        return D0 + dt.timedelta(days=week * week_length)

    assert outcome(lambda: p.calendar_date_for_week(week)) == outcome(by_hand)


@pytest.mark.parametrize("last", [dt.date(9999, 12, 31), dt.date(9999, 12, 30)])
def test_calendar_reaches_the_last_representable_day(last):
    frame = pd.DataFrame({"date": [D0], "tmean": [20.0]})
    p = WeatherProvider(frame, week_length_days=1)
    days = (last - D0).days
    assert p.calendar_date_for_week(days) == last
    assert p.week_index_for_date(last) == days
    if last == dt.date(9999, 12, 31):
        with pytest.raises(OverflowError):
            p.calendar_date_for_week(days + 1)


@pytest.mark.parametrize("cell, total", [(10**400, math.inf), (-10**400, -math.inf)])
def test_integers_beyond_float_range_keep_their_sign(cell, total):
    frame = pd.DataFrame({"date": [D0, D0 + dt.timedelta(days=1)],
                          "heat_units": pd.Series([cell, 1], dtype=object)})
    p = WeatherProvider(frame, HEAT)
    assert p._weekly_heat_units == {0: total}
