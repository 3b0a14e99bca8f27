"""Seeding a chain from an inventory table, replaying thermal histories, and pickling chains."""

import pickle
import random

import pandas as pd
import pytest

from py_narvo_pop.cohorts import (
    ChainKind,
    Cohort,
    CohortChain,
    CohortColumnMap,
    _advance_thermal_state,
    _replay_cohort_history,
)
from py_narvo_pop.exceptions import CohortChainError, WeatherError
from py_narvo_pop.weather import ColumnMap, WeatherProvider

from conftest import Params

PRE, POST = ChainKind.PRE_FLOWERING, ChainKind.POST_FLOWERING


def native_provider(first_week=0, weeks=20, seed=3):
    rng = random.Random(seed)
    days = pd.date_range("2024-01-01", periods=7 * weeks, freq="D")
    daily = pd.DataFrame({"date": days, "hu": [rng.uniform(5.0, 25.0) for _ in days]})
    start = (days[0] - pd.Timedelta(days=7 * first_week)).date()
    return WeatherProvider(daily, ColumnMap(heat_units="hu"), run_start_date=start)


class PlainProvider:
    """A caller's own provider: weekly totals from a dict, every call recorded."""

    def __init__(self, source):
        self.totals = {w: source.thermal_increment(w)
                       for w in range(source.min_week_index, source.max_week_index + 1)}
        self.calls = []

    @property
    def min_week_index(self):
        self.calls.append("min")
        return min(self.totals)

    def thermal_increment(self, w):
        self.calls.append(w)
        if w not in self.totals:
            raise WeatherError(f"week_index {w} is outside the weather data's coverage "
                               f"({min(self.totals)}..{max(self.totals)})")
        return self.totals[w]


def stepped(kind, birth, target, weather, params, population=1.0):
    """The replay written out with the one-week step."""
    state = (0.0, 0, 0, 0)
    for w in range(birth + 1, target + 1):
        state = _advance_thermal_state(kind, *state, weather.thermal_increment(w), params)
    return Cohort(kind, birth, population, *state)


def table(ages, populations=None):
    return pd.DataFrame({"chain": "x", "population": populations or [10.0] * len(ages), "age_weeks": ages})


PROVIDERS = [native_provider, lambda **kw: PlainProvider(native_provider(**kw))]


@pytest.mark.parametrize("make", PROVIDERS)
@pytest.mark.parametrize("kind", [PRE, POST])
def test_worked_example(params, make, kind):
    weather = make()
    chain = CohortChain.from_dataframe(table([4, 1, 0, 2]), kind, 10, weather, params)
    assert [c.birth_week_index for c in chain] == [6, 9, 10, 8]
    assert [c.thermal_age for c in chain][1:3] == [0.0, 0.0]
    inc = weather.thermal_increment
    assert list(chain)[0].thermal_age == 0.0 + inc(7) + inc(8) + inc(9)
    assert list(chain)[3].thermal_age == weather.thermal_increment(9)
    assert all(c.chain is kind for c in chain) and chain.kind is kind


@pytest.mark.parametrize("make", PROVIDERS)
@pytest.mark.parametrize("kind", [PRE, POST])
def test_replay_matches_the_weekly_step(make, kind):
    params = Params(flowering={"threshold_dd": 600.0}, harvest={"threshold_dd": 500.0},
                    sucker_selection={"threshold_dd": 200.0})
    weather = make(first_week=-5, weeks=60)
    ages = list(range(0, 61, 3))
    chain = CohortChain.from_dataframe(table(ages), kind, 55, weather, params)
    assert list(chain) == [stepped(kind, 55 - a, 54, weather, params, 10.0) for a in ages]
    pre_kept = {c.weeks_since_harvest_threshold for c in chain} == {0}
    post_kept = {c.weeks_since_flowering_threshold for c in chain} == {0}
    assert pre_kept if kind is PRE else post_kept
    assert max(c.weeks_since_sucker_threshold for c in chain) > 0


def test_plain_provider_is_asked_week_by_week(params):
    weather = PlainProvider(native_provider())
    CohortChain.from_dataframe(table([4, 1, 3]), PRE, 10, weather, params)
    assert weather.calls == ["min", 7, 8, 9, "min", 8, 9]


@pytest.mark.parametrize("make", PROVIDERS)
def test_row_older_than_the_weather(params, make):
    with pytest.raises(CohortChainError) as err:
        CohortChain.from_dataframe(table([4, 12]), PRE, 10, make(), params)
    assert str(err.value) == (
        "seed row with age_weeks=12 for chain=pre_flowering implies birth_week_index=-2; "
        "reconstructing its thermal history needs weather data back to week_index -1, before the "
        "weather data's coverage starts at week_index 0. Raise start_week_index to at least 11, or "
        "construct WeatherProvider with weather data and an explicit run_start_date extending back "
        "far enough.")


@pytest.mark.parametrize("make", PROVIDERS)
def test_week_after_the_weather_is_the_providers_error(params, make):
    with pytest.raises(WeatherError) as err:
        CohortChain.from_dataframe(table([3]), POST, 25, make(), params)
    assert str(err.value) == "week_index 23 is outside the weather data's coverage (0..19)"


def test_gap_inside_the_weather_is_refused_at_the_missing_week(params):
    days = [d for d in pd.date_range("2024-01-01", periods=70, freq="D") if not 21 <= (d.day_of_year - 1) < 28]
    weather = WeatherProvider(pd.DataFrame({"date": days, "tmean": 20.0}))
    with pytest.raises(WeatherError, match=r"^week_index 3 is outside the weather data's coverage \(0\.\.9\)$"):
        CohortChain.from_dataframe(table([8]), PRE, 8, weather, params)


@pytest.mark.parametrize("ages, birth, age", [([5, 5.7], 5, 5), ([3, 1, -0.5, 0], 10, 0)])
def test_duplicate_birth_week(params, ages, birth, age):
    with pytest.raises(CohortChainError) as err:
        CohortChain.from_dataframe(table(ages), POST, 10, native_provider(), params)
    assert str(err.value) == (
        f"duplicate cohort at birth_week_index={birth} (age_weeks={age}) for chain=post_flowering in "
        "this inventory -- pre-aggregate rows that imply the same (chain, birth_week_index) before "
        "constructing NarvoPopEngine")


def test_no_weather_is_consulted_without_a_week_to_replay(params):
    class Nothing:
        pass

    chain = CohortChain.from_dataframe(table([0, 1, -3]), PRE, 4, Nothing(), params)
    assert [c.birth_week_index for c in chain] == [4, 3, 7]


@pytest.mark.parametrize("rows", [table([]), pd.DataFrame()])
def test_empty_table(params, rows):
    chain = CohortChain.from_dataframe(rows, POST, 3, object(), params)
    assert len(chain) == 0 and chain.kind is POST


@pytest.mark.parametrize("population, seeded", [(0.0, 0.0), (-4.0, 0.0), (2.5, 2.5), ("7", 7.0)])
def test_population_taken_as_observed_but_never_negative(params, population, seeded):
    chain = CohortChain.from_dataframe(table([3], [population]), PRE, 5, native_provider(), params)
    assert chain._cohorts[0].population == seeded
    assert len(chain._prune_cohorts(5)) == (seeded == 0.0)


def test_nan_population_refused(params):
    with pytest.raises(CohortChainError, match="^seed row with age_weeks=3 for chain=pre_flowering has population nan"):
        CohortChain.from_dataframe(table([3], [float("nan")]), PRE, 5, native_provider(), params)


@pytest.mark.parametrize("rows, error", [
    (pd.DataFrame({"population": [1.0]}), KeyError),
    (pd.DataFrame({"population": ["many"], "age_weeks": [1]}), ValueError),
    (pd.DataFrame({"population": [1.0], "age_weeks": [float("nan")]}), ValueError),
])
def test_conversion_and_lookup_errors_pass_through(params, rows, error):
    with pytest.raises(error):
        CohortChain.from_dataframe(rows, PRE, 5, native_provider(), params)


def test_subclass_and_columns(params):
    class Mine(CohortChain):
        pass

    rows = pd.DataFrame({"n": [3.0, 4.0], "age": [2, 1]}, index=["b", "a"])
    chain = Mine.from_dataframe(rows, PRE, 5, native_provider(), params,
                                columns=CohortColumnMap(population="n", age_weeks="age"))
    assert type(chain) is Mine and [c.population for c in chain] == [3.0, 4.0]


@pytest.mark.parametrize("birth, target", [(5, 5), (5, 2), (3, 9)])
def test_replay_cohort_history(params, birth, target):
    weather = native_provider()
    cohort = _replay_cohort_history(POST, birth, -2.0, target, weather, params)
    assert cohort == stepped(POST, birth, target, weather, params, -2.0)
    assert _replay_cohort_history(chain=POST, birth_week_index=birth, population=-2.0,
                                  target_week_index=target, weather=PlainProvider(weather),
                                  params=params) == cohort


# ------------------------------------------------------------- pickling ---

class Tagged(CohortChain):
    pass


def test_chain_pickles_with_its_cohorts_and_continues_identically(params):
    chain = Tagged.from_dataframe(table([6, 3, 1]), PRE, 8, native_provider(), params)
    chain.label = "north field"
    first = chain._cohorts[0]
    clone, clone_first = pickle.loads(pickle.dumps((chain, first)))
    assert type(clone) is Tagged and clone.label == "north field" and clone.kind is PRE
    assert clone_first is clone._cohorts[0] and clone_first == first
    assert clone._params.general == params.general
    for w in range(8, 14):
        a = chain.integrate(chain.calc_rates(90.0), w)
        b = clone.integrate(clone.calc_rates(90.0), w)
        assert [c._values() for c in a] == [c._values() for c in b]
    assert list(chain) == list(clone)


def test_setstate_refuses_foreign_cohorts(params):
    chain = CohortChain(PRE, params)
    with pytest.raises(TypeError):
        chain.__setstate__(([object()], None))
