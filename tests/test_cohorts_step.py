"""The weekly step: rates, the rates record, integration, pruning, removal and export."""

import collections.abc
import dataclasses
import math
import pickle
import random

import pandas as pd
import pytest

from py_narvo_pop import cohorts
from py_narvo_pop.cohorts import (
    _COHORT_COLUMNS,
    ChainKind,
    Cohort,
    CohortChain,
    _advance_thermal_state,
    _ChainRates,
)

from conftest import Params

PRE, POST = ChainKind.PRE_FLOWERING, ChainKind.POST_FLOWERING


def reference_rates(chain, increment):
    """The weekly rates computed step by step in Python, through the module's
    dispersion functions as they are now."""
    p = chain._params
    sucker, mortality, flowering = p.sucker_selection, p.mortality_replacement, p.flowering
    cohort_basis = p.general["rate_basis"] == "cohort"
    if cohort_basis:
        fprof = cohorts._dispersion_profile(flowering["amplitude"], flowering["peak_weeks"], flowering["spread"])
        sprof = cohorts._dispersion_profile(sucker["amplitude"], sucker["peak_weeks"], sucker["spread"])
    maps = {k: {} for k in ("next_thermal_age", "next_counters", "chain_exit", "death", "sucker")}
    sums = dict.fromkeys(("sum_chain_exit", "sum_sucker", "sum_death", "sum_sucker_parous"), 0.0)
    pre = chain.kind == PRE
    for i, c in enumerate(chain):
        ta, wf, ws, wh = _advance_thermal_state(
            chain.kind, c.thermal_age, c.weeks_since_flowering_threshold,
            c.weeks_since_sucker_threshold, c.weeks_since_harvest_threshold, increment, p)
        pop = c.population
        sk = {k: sucker[k] for k in ("amplitude", "peak_weeks", "spread")}
        if cohort_basis and pre:
            s, h = pop * sprof.share(ws), fprof.hazard(wf)
            f = fprof.fraction_done(wf - 1)
            if s > 0.0 and f < 0.999999999999:
                sums["sum_sucker_parous"] += s * f / (1 - f)
        elif cohort_basis:
            s, h = 0.0, cohorts._harvest_hazard_cohort_basis(wh, p.harvest["hazard_weeks"])
        elif pre:
            fk = {k: flowering[k] for k in ("amplitude", "peak_weeks", "spread")}
            s, h = pop * cohorts._dispersion_rate(ws, **sk), cohorts._dispersion_rate(wf, **fk)
        else:
            s, h = pop * cohorts._dispersion_rate(ws, **sk), cohorts._harvest_hazard(wh, p.harvest["hazard_weeks"])
        d = mortality["death_rate_vegetative" if pre else "death_rate_reproductive"]
        e = pop * h
        r = pop - e
        r = r if r > 0.0 else 0.0
        m = r if r < pop * d else pop * d
        for key, value in zip(maps, (ta, (wf, ws, wh), e, m, s)):
            maps[key][i] = value
        sums["sum_chain_exit"] += e
        sums["sum_death"] += m
        sums["sum_sucker"] += s
    return _ChainRates(**maps, **sums)


def random_chain(kind, params, rng, n=40):
    chain = CohortChain(kind, params)
    for i in range(n):
        c = chain.add_new_cohort(rng.choice([0.0, 1e-9, rng.uniform(0.0, 500.0)]) or 1.0, -i)
        c.population = rng.choice([0.0, rng.uniform(0.0, 500.0)])
        c.thermal_age = rng.uniform(0.0, 2500.0)
        c.weeks_since_flowering_threshold = rng.randrange(0, 40)
        c.weeks_since_sucker_threshold = rng.randrange(0, 40)
        c.weeks_since_harvest_threshold = rng.randrange(0, 12)
    return chain


def state(chain):
    return [c._values() for c in chain]


BASES = ["direct", "cohort"]
KINDS = [PRE, POST]


# ------------------------------------------------------- thermal state ---

@pytest.mark.parametrize("kind, start, inc, expected", [
    (PRE, (990.0, 0, 4, 0), 20.0, (1010.0, 1, 5, 0)),
    (PRE, (1010.0, 1, 5, 0), 15.0, (1025.0, 2, 6, 0)),
    (PRE, (980.0, 3, 4, 7), 20.0, (1000.0, 4, 5, 7)),     # exactly on the threshold counts
    (PRE, (200.0, 3, 4, 7), 50.0, (250.0, 0, 0, 7)),      # below: reset; wh untouched
    (POST, (990.0, 5, 4, 0), 20.0, (1010.0, 5, 5, 1)),    # wf untouched past its threshold
    (POST, (880.0, 0, 4, 2), 10.0, (890.0, 0, 5, 0)),
    ("something else", (990.0, 5, 4, 2), 20.0, (1010.0, 5, 5, 2)),
])
def test_advance_thermal_state(params, kind, start, inc, expected):
    assert _advance_thermal_state(kind, *start, inc, params) == expected
    assert _advance_thermal_state(chain=kind, thermal_age=start[0], wf=start[1], ws=start[2],
                                  wh=start[3], increment=inc, params=params) == expected


@pytest.mark.parametrize("kind, missing, error", [
    (POST, "flowering", None), (PRE, "harvest", None),
    (PRE, "flowering", KeyError), (POST, "harvest", KeyError), (PRE, "sucker_selection", KeyError),
])
def test_advance_reads_only_the_thresholds_it_uses(params, kind, missing, error):
    del getattr(params, missing)["threshold_dd"]
    if error is None:
        _advance_thermal_state(kind, 0.0, 0, 0, 0, 1.0, params)
    else:
        with pytest.raises(error):
            _advance_thermal_state(kind, 0.0, 0, 0, 0, 1.0, params)


# ---------------------------------------------------------- calc_rates ---

@pytest.mark.parametrize("basis", BASES)
@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("seed", range(3))
def test_rates_match_a_step_by_step_computation(basis, kind, seed):
    params = Params(general={"rate_basis": basis}, flowering={"amplitude": 0.8})
    chain = random_chain(kind, params, random.Random(seed))
    before = state(chain)
    inc = random.Random(seed).uniform(0.0, 150.0)
    assert chain.calc_rates(inc) == reference_rates(chain, inc)
    assert state(chain) == before


def replaced_curves():
    return {
        "_dispersion_rate": lambda w, amplitude, peak_weeks, spread: 0.0 if w < 1 else amplitude * 0.01 * w,
        "_harvest_hazard": lambda w, hw: min(1.0, w / 10.0),
        "_harvest_hazard_cohort_basis": lambda w, hw: 0.0 if w < 1 else 1.0 / (w + 1),
        "_dispersion_profile": lambda a, p, s: FixedProfile(0.02 * a, 0.1, 0.3),
    }


class FixedProfile:
    def __init__(self, share, hazard, done):
        self.values = (share, hazard, done)

    def share(self, ws):
        return self.values[0] * (ws > 0)

    def hazard(self, wf):
        return self.values[1] * (wf > 0)

    def fraction_done(self, n):
        return self.values[2] * (n > 0)


@pytest.mark.parametrize("basis", BASES)
@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("name", sorted(replaced_curves()))
def test_replaced_dispersion_functions_are_called(monkeypatch, basis, kind, name):
    monkeypatch.setattr(cohorts, name, replaced_curves()[name])
    params = Params(general={"rate_basis": basis})
    chain = random_chain(kind, params, random.Random(7), n=12)
    assert chain.calc_rates(40.0) == reference_rates(chain, 40.0)


def test_calls_follow_the_documented_order_and_arguments(monkeypatch, params):
    calls = []

    def rate(w, **kw):
        calls.append(("rate", w, kw["amplitude"]))
        return 0.1

    monkeypatch.setattr(cohorts, "_dispersion_rate", rate)
    chain = CohortChain(PRE, params)
    chain.add_new_cohort(100.0, 0).thermal_age = 1200.0
    rates = chain.calc_rates(10.0)
    assert calls == [("rate", 1, 1.2), ("rate", 1, 1.0)]   # suckers, then flowering
    assert (rates.chain_exit[0], rates.death[0], rates.sucker[0]) == pytest.approx((10.0, 0.2, 10.0))


@pytest.mark.parametrize("hazard, death, expected", [
    (0.1, 0.02, (10.0, 2.0)), (0.99, 0.05, (99.0, 1.0)), (1.5, 0.05, (150.0, 0.0)), (-0.1, 0.1, (-10.0, 10.0)),
])
def test_exits_uncapped_deaths_capped(monkeypatch, hazard, death, expected):
    monkeypatch.setattr(cohorts, "_dispersion_rate", lambda w, **kw: hazard if kw["amplitude"] == 1.0 else 0.0)
    params = Params(mortality_replacement={"death_rate_vegetative": death})
    chain = CohortChain(PRE, params)
    chain.add_new_cohort(100.0, 0)
    rates = chain.calc_rates(10.0)
    assert (rates.chain_exit[0], rates.death[0]) == pytest.approx(expected)


@pytest.mark.parametrize("kind, basis, share, done, expected", [
    (PRE, "cohort", 0.1, 0.5, 10.0),
    (PRE, "cohort", 0.1, 0.999999999999, 0.0),
    (PRE, "cohort", 0.0, 0.5, 0.0),
    (PRE, "direct", 0.1, 0.5, 0.0),
    (POST, "cohort", 0.1, 0.5, 0.0),
])
def test_sum_sucker_parous(monkeypatch, kind, basis, share, done, expected):
    monkeypatch.setattr(cohorts, "_dispersion_profile", lambda a, p, s: FixedProfile(share, 0.0, done))
    chain = CohortChain(kind, Params(general={"rate_basis": basis}))
    c = chain.add_new_cohort(100.0, 0)
    c.thermal_age, c.weeks_since_flowering_threshold = 5000.0, 3
    assert chain.calc_rates(1.0).sum_sucker_parous == pytest.approx(expected)


def test_empty_chain_still_builds_both_profiles(monkeypatch):
    built = []
    monkeypatch.setattr(cohorts, "_dispersion_profile", lambda *a: built.append(a) or FixedProfile(0, 0, 0))
    rates = CohortChain(POST, Params(general={"rate_basis": "cohort"})).calc_rates(5.0)
    assert built == [(1.0, 6.0, 2.0), (1.2, 8.0, 3.0)]
    assert rates == _ChainRates(next_thermal_age={}, next_counters={}, chain_exit={}, death={},
                                sucker={}, sum_chain_exit=0.0, sum_sucker=0.0, sum_death=0.0)


def test_zero_population_cohort_still_advances(params):
    chain = CohortChain(PRE, params)
    chain.add_new_cohort(1.0, 0).population = 0.0
    rates = chain.calc_rates(400.0)
    assert rates.next_counters[0] == (0, 1, 0) and rates.next_thermal_age[0] == 400.0
    assert (rates.chain_exit[0], rates.death[0], rates.sucker[0]) == (0.0, 0.0, 0.0)


@pytest.mark.parametrize("basis", BASES)
def test_parameters_are_read_at_every_call(basis):
    params = Params(general={"rate_basis": basis})
    chain = CohortChain(PRE, params)
    c = chain.add_new_cohort(100.0, 0)
    c.thermal_age, c.weeks_since_flowering_threshold, c.weeks_since_sucker_threshold = 1500.0, 5, 5
    first = chain.calc_rates(10.0)
    params.flowering["peak_weeks"] = 3.0
    params.sucker_selection["amplitude"] = 2.0
    second = chain.calc_rates(10.0)
    assert second == reference_rates(chain, 10.0) and second != first


@pytest.mark.parametrize("value", [math.nan, math.inf, -math.inf])
def test_non_finite_increment_refused(value):
    chain = CohortChain(PRE, object())
    with pytest.raises(ValueError, match="^weekly_thermal_increment must be a finite number of degree-days, got "):
        chain.calc_rates(value)


@pytest.mark.parametrize("group, key, error", [
    ("general", "rate_basis", KeyError), ("mortality_replacement", "death_rate_vegetative", KeyError),
    ("flowering", "threshold_dd", KeyError), ("sucker_selection", "spread", KeyError),
])
def test_parameter_errors_pass_through(group, key, error):
    params = Params()
    del getattr(params, group)[key]
    chain = CohortChain(PRE, params)
    chain.add_new_cohort(5.0, 0)
    with pytest.raises(error, match=key):
        chain.calc_rates(1.0)


@pytest.mark.parametrize("basis, group, key", [("direct", "sucker_selection", "amplitude"),
                                               ("cohort", "flowering", "spread"),
                                               ("cohort", "harvest", "hazard_weeks")])
def test_unusable_curve_parameters_raise_the_curve_error(basis, group, key):
    params = Params(general={"rate_basis": basis})
    getattr(params, group)[key] = -1.0
    chain = CohortChain(POST if group == "harvest" else PRE, params)
    chain.add_new_cohort(5.0, 0)
    with pytest.raises(ValueError, match=f"^{key} must be a finite number"):
        chain.calc_rates(1.0)


def test_dispersion_errors_pass_through(monkeypatch, params):
    def broken(*args, **kwargs):
        raise ZeroDivisionError("curve")

    monkeypatch.setattr(cohorts, "_harvest_hazard", broken)
    chain = CohortChain(POST, params)
    assert chain.calc_rates(1.0).sum_chain_exit == 0.0     # nothing to call it for
    chain.add_new_cohort(5.0, 0)
    with pytest.raises(ZeroDivisionError):
        chain.calc_rates(1.0)


def test_mapping_parameter_groups_of_any_kind():
    class Groups:
        def __init__(self, base):
            for name in ("general", "flowering", "sucker_selection", "harvest", "mortality_replacement"):
                setattr(self, name, collections.ChainMap(getattr(base, name)))

    base = Params()
    plain, mapped = CohortChain(POST, base), CohortChain(POST, Groups(base))
    for chain in (plain, mapped):
        chain.add_new_cohort(10.0, 0).thermal_age = 950.0
    assert plain.calc_rates(10.0) == mapped.calc_rates(10.0)


# --------------------------------------------------------- rates record ---

def test_rates_maps_are_read_only_mappings(params):
    chain = CohortChain(PRE, params)
    for w in range(3):
        chain.add_new_cohort(10.0 + w, w)
    rates = chain.calc_rates(350.0)
    m, counters = rates.chain_exit, rates.next_counters
    assert isinstance(m, collections.abc.Mapping) and len(m) == 3
    assert list(m) == [0, 1, 2] and list(m.keys()) == [0, 1, 2]
    assert list(counters.values()) == [(0, 1, 0)] * 3
    assert dict(rates.next_thermal_age.items()) == {0: 350.0, 1: 350.0, 2: 350.0}
    assert 2 in m and 3 not in m and "0" not in m and m.get(5) is None and m.get(0) == m[0]
    assert m[1.0] == m[True] == m[1]
    assert m == dict(m) and dict(m) == m and m != {0: 1.0}
    with pytest.raises(KeyError) as err:
        m[3]
    assert err.value.args == (3,)
    with pytest.raises(TypeError):
        m[0] = 1.0
    with pytest.raises(TypeError):
        m[[0]]
    assert repr(rates.death) == repr(dict(rates.death))


def test_rates_record_is_frozen_and_outlived_by_its_maps(params):
    chain = CohortChain(PRE, params)
    chain.add_new_cohort(10.0, 0)
    rates = chain.calc_rates(1.0)
    with pytest.raises(dataclasses.FrozenInstanceError):
        rates.sum_death = 1.0
    assert pickle.loads(pickle.dumps(rates)) == rates
    death = rates.death
    del rates
    assert death[0] == pytest.approx(0.02)


def test_rates_record_by_keyword_with_default():
    r = _ChainRates(next_thermal_age={}, next_counters={}, chain_exit={}, death={}, sucker={},
                    sum_chain_exit=1.0, sum_sucker=2.0, sum_death=3.0)
    assert r.sum_sucker_parous == 0.0 and r.__match_args__[-1] == "sum_sucker_parous"
    assert repr(r).startswith("_ChainRates(next_thermal_age={}, next_counters={}")


# ---------------------------------------------------------- integrate ---

def dict_rates(n, exit=1.0, death=0.5, counters=(1, 2, 3)):
    return _ChainRates(next_thermal_age={i: 10.0 * (i + 1) for i in range(n)},
                       next_counters={i: counters for i in range(n)},
                       chain_exit={i: exit for i in range(n)}, death={i: death for i in range(n)},
                       sucker={i: 0.0 for i in range(n)}, sum_chain_exit=0.0, sum_sucker=0.0, sum_death=0.0)


def test_integrate_applies_a_record_built_from_dicts(params):
    chain = CohortChain(POST, params)
    a, b = chain.add_new_cohort(10.0, 0), chain.add_new_cohort(1.2, 1)
    removed = chain.integrate(dict_rates(2), 5)
    assert removed[0] is b and list(chain)[0] is a
    assert a == Cohort(POST, 0, 8.5, 10.0, 1, 2, 3)
    assert b.population == 0.0 and b.thermal_age == 20.0


@pytest.mark.parametrize("basis", BASES)
@pytest.mark.parametrize("kind", KINDS)
def test_many_weeks_match_a_step_by_step_run(basis, kind):
    params = Params(general={"rate_basis": basis, "population_epsilon": 0.5})
    rng = random.Random(11)
    native, python = random_chain(kind, params, rng), random_chain(kind, params, random.Random(11))
    for w in range(1, 40):
        inc = rng.uniform(40.0, 160.0)
        removed = native.integrate(native.calc_rates(inc), w)
        python_removed = python.integrate(_as_dicts(reference_rates(python, inc)), w)
        assert [c._values() for c in removed] == [c._values() for c in python_removed]
        assert state(native) == state(python)


def _as_dicts(rates):
    return _ChainRates(*(dict(v) if isinstance(v, collections.abc.Mapping) else v for v in rates._values()))


@pytest.mark.parametrize("make", [
    lambda chain: dict_rates(len(chain) - 1),
    lambda chain: _ChainRates(**{**{k: getattr(dict_rates(len(chain)), k) for k in _ChainRates.__match_args__},
                                 "death": {0: 0.0}}),
    lambda chain: shorter_native_rates(chain),
    lambda chain: dict_rates(len(chain), counters=(1, 2)),
    lambda chain: dict_rates(len(chain), counters=7),
    lambda chain: dict_rates(len(chain), counters=(1, 2, 3, 4)),
    lambda chain: dict_rates(len(chain), exit="lots"),
])
def test_integrate_checks_everything_before_changing_anything(params, make):
    chain = CohortChain(PRE, params)
    for w in range(3):
        chain.add_new_cohort(5.0 + w, w)
    rates = make(chain)
    before = state(chain)
    with pytest.raises((KeyError, ValueError, TypeError)):
        chain.integrate(rates, 3)
    assert state(chain) == before and len(chain) == 3


def shorter_native_rates(chain):
    other = CohortChain(chain.kind, chain._params)
    for c in list(chain)[:-1]:
        other.add_new_cohort(c.population, c.birth_week_index)
    return other.calc_rates(10.0)


def test_missing_position_is_the_maps_key_error(params):
    chain = CohortChain(PRE, params)
    chain.add_new_cohort(1.0, 0)
    rates = chain.calc_rates(1.0)
    chain.add_new_cohort(1.0, 1)
    with pytest.raises(KeyError) as err:
        chain.integrate(rates, 1)
    assert err.value.args == (1,)


def test_missing_pruning_parameter_leaves_chain_unchanged():
    params = Params()
    del params.general["population_epsilon"]
    chain = CohortChain(PRE, params)
    chain.add_new_cohort(5.0, 0)
    before = state(chain)
    with pytest.raises(KeyError, match="population_epsilon"):
        chain.integrate(dict_rates(1), 1)
    assert state(chain) == before


def test_entries_beyond_the_chain_are_ignored_and_empty_chain(params):
    chain = CohortChain(PRE, params)
    assert chain.integrate(dict_rates(0), 0) == []
    assert chain.integrate(None, 0) == []
    chain.add_new_cohort(5.0, 0)
    chain.integrate(dict_rates(4), 1)
    assert chain._cohorts[0].population == 3.5


# ------------------------------------------------------------- pruning ---

@pytest.mark.parametrize("kind, limit_key", [(PRE, "max_age_weeks_vegetative"), (POST, "max_age_weeks_reproductive")])
def test_age_limit_is_strict_and_by_kind(kind, limit_key):
    params = Params(general={"max_age_weeks_vegetative": 10, "max_age_weeks_reproductive": 4})
    limit = params.general[limit_key]
    chain = CohortChain(kind, params)
    old, young = chain.add_new_cohort(1.0, 0), chain.add_new_cohort(1.0, 1)
    assert chain._prune_cohorts(limit) == [] and len(chain) == 2
    removed = chain._prune_cohorts(limit + 1)
    assert removed[0] is old and list(chain) == [young]


@pytest.mark.parametrize("epsilon, population, stays", [(0.0, 0.0, True), (1.0, 1.0, True),
                                                        (1.0, 0.999, False), (1e-6, 0.0, False)])
def test_population_floor_is_strict(epsilon, population, stays):
    chain = CohortChain(PRE, Params(general={"population_epsilon": epsilon}))
    chain.add_new_cohort(1.0, 0).population = population
    assert (chain._prune_cohorts(0) == []) == stays
    assert len(chain) == int(stays)


# ------------------------------------------------------------- removal ---

@pytest.mark.parametrize("amount, left, removed", [
    (10.0, [45.0, 27.0, 18.0], 10.0), (150.0, [0.0, 0.0, 0.0], 100.0), (0.0, [50.0, 30.0, 20.0], 0.0),
])
def test_exogenous_removal(amount, left, removed):
    chain = CohortChain(PRE, Params(general={"population_epsilon": 0.0}))
    for p in (50.0, 30.0, 20.0):
        chain.add_new_cohort(p, 0)
    assert chain.apply_exogenous_removal(amount, 0) == removed
    assert [c.population for c in chain] == pytest.approx(left)


@pytest.mark.parametrize("amount, remaining", [(0.0, 2), (-5.0, 2), (1.0, 1)])
def test_removal_prunes_only_when_it_removes(params, amount, remaining):
    chain = CohortChain(PRE, params)
    chain.add_new_cohort(100.0, 0)
    chain.add_new_cohort(1e-9, 0)
    chain.apply_exogenous_removal(amount, 0)
    assert len(chain) == remaining


def test_removal_on_empty_chain_and_nan(params):
    chain = CohortChain(PRE, params)
    assert chain.apply_exogenous_removal(5.0, 0) == 0.0
    chain.add_new_cohort(5.0, 0)
    with pytest.raises(ValueError, match="^amount must be a number of plants to remove, got nan$"):
        chain.apply_exogenous_removal(math.nan, 0)
    assert chain.total_population() == 5.0


# -------------------------------------------------------------- export ---

def test_as_dataframe(params):
    chain = CohortChain(POST, params)
    empty = chain.as_dataframe()
    assert tuple(empty.columns) == _COHORT_COLUMNS and len(empty) == 0
    assert _COHORT_COLUMNS == ("chain", "birth_week_index", "population", "thermal_age",
                               "weeks_since_flowering_threshold", "weeks_since_sucker_threshold",
                               "weeks_since_harvest_threshold")
    chain.add_new_cohort(3.0, 2)
    c = chain.add_new_cohort(4.5, -1)
    c.thermal_age, c.weeks_since_harvest_threshold = 12.5, 2
    frame = chain.as_dataframe()
    expected = pd.DataFrame([("post_flowering", 2, 3.0, 0.0, 0, 0, 0), ("post_flowering", -1, 4.5, 12.5, 0, 0, 2)],
                            columns=list(_COHORT_COLUMNS))
    pd.testing.assert_frame_equal(frame, expected)
