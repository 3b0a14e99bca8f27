"""The weekly step's two paths give the same results: the native step of a chain
whose parameter set is the package's own ParameterSet, and the Python-level path
of any other parameter set (here a duck-typed copy of the same values)."""

import dataclasses
import random

import pytest

from py_narvo_pop import cohorts
from py_narvo_pop.cohorts import ChainKind, CohortChain, _ChainRates
from py_narvo_pop.parameters import ParameterSet

from conftest import Params

PRE, POST = ChainKind.PRE_FLOWERING, ChainKind.POST_FLOWERING


def both_sets(basis, **general):
    """A ParameterSet and a duck-typed set holding the same values."""
    duck = Params(general={"rate_basis": basis, **general})
    groups = {name: dict(getattr(duck, name)) for name in ParameterSet.default().to_dict()}
    return ParameterSet.from_dict(groups), duck


def values(rates):
    """A rates record as plain values (its maps as dicts)."""
    return tuple(dict(v) if isinstance(v, cohorts._RatesMap) else v for v in dataclasses.astuple(rates))


def cohort_values(chain):
    return [dataclasses.astuple(c) for c in chain]


def seeded(kind, params, rng):
    chain = CohortChain(kind, params)
    for k in range(12):
        cohort = chain.add_new_cohort(rng.uniform(1.0, 500.0), -k)
        cohort.thermal_age = 110.0 * k
    return chain


def run(params, kind, seed, weeks=80):
    """Every week's rates, pruned cohorts and removals of one chain."""
    rng = random.Random(seed)
    chain = seeded(kind, params, rng)
    log = []
    for w in range(weeks):
        rates = chain.calc_rates(rng.uniform(0.0, 160.0))
        pruned = chain.integrate(rates, w)
        chain.add_new_cohort(rates.sum_sucker + rates.sum_chain_exit, w)
        removed = chain.apply_exogenous_removal(rng.uniform(0.0, 30.0), w) if w % 7 == 3 else None
        log.append((values(rates), [dataclasses.astuple(c) for c in pruned], removed))
    return log, cohort_values(chain)


@pytest.mark.parametrize("basis", ["cohort", "direct"])
@pytest.mark.parametrize("kind", [PRE, POST])
@pytest.mark.parametrize("general", [{}, {"population_epsilon": 0.5, "max_age_weeks_vegetative": 20,
                                          "max_age_weeks_reproductive": 12}])
def test_native_step_matches_the_python_level_path(basis, kind, general):
    native, duck = both_sets(basis, **general)
    assert run(native, kind, seed=7) == run(duck, kind, seed=7)


@pytest.mark.parametrize("basis, name", [("cohort", "_dispersion_profile"), ("direct", "_dispersion_rate"),
                                         ("direct", "_harvest_hazard"),
                                         ("cohort", "_harvest_hazard_cohort_basis")])
def test_replacing_a_dispersion_function_takes_effect_at_the_next_step(monkeypatch, basis, name):
    native, _ = both_sets(basis)
    kind = POST if "harvest" in name else PRE
    original = getattr(cohorts, name)
    calls = []

    def counted(*args, **kwargs):
        calls.append(args)
        return original(*args, **kwargs)

    reference = run(native, kind, seed=3, weeks=30)
    chain = seeded(kind, native, random.Random(3))
    chain.integrate(chain.calc_rates(50.0), 0)  # resolved and stepped natively first
    assert calls == []
    monkeypatch.setattr(cohorts, name, counted)
    chain.integrate(chain.calc_rates(50.0), 1)
    assert calls
    # Delegating to the package's own function changes nothing.
    assert run(native, kind, seed=3, weeks=30) == reference
    monkeypatch.undo()
    calls.clear()
    chain.calc_rates(50.0)
    assert calls == []


def test_missing_dispersion_global_is_a_name_error(monkeypatch):
    native, _ = both_sets("direct")
    chain = seeded(PRE, native, random.Random(1))
    chain.calc_rates(10.0)
    monkeypatch.delattr(cohorts, "_dispersion_rate")
    with pytest.raises(NameError, match="_dispersion_rate"):
        chain.calc_rates(10.0)


@pytest.mark.parametrize("basis", ["cohort", "direct"])
def test_native_record_reads_as_one_built_by_hand(basis):
    native, _ = both_sets(basis)
    a = seeded(PRE, native, random.Random(5))
    b = seeded(PRE, native, random.Random(5))
    rates = a.calc_rates(120.0)
    assert rates.chain_exit is rates.chain_exit
    by_hand = _ChainRates(**{k: dict(v) if isinstance(v, cohorts._RatesMap) else v
                             for k, v in dataclasses.asdict(rates).items()})
    assert by_hand == rates
    assert rates.sum_chain_exit == sum(rates.chain_exit.values())
    assert [dataclasses.astuple(c) for c in a.integrate(rates, 0)] == \
        [dataclasses.astuple(c) for c in b.integrate(by_hand, 0)]
    assert cohort_values(a) == cohort_values(b)


@pytest.mark.parametrize("which", [0, 1])
@pytest.mark.parametrize("change, error", [("add", KeyError), ("prune", ValueError)])
def test_record_of_a_changed_list_is_refused_on_both_paths(which, change, error):
    params = both_sets("direct")[which]
    chain = seeded(PRE, params, random.Random(2))
    rates = chain.calc_rates(80.0)
    if change == "add":
        chain.add_new_cohort(5.0, 0)
    else:
        next(iter(chain)).population = 0.0
        chain._prune_cohorts(0)
    before = cohort_values(chain)
    with pytest.raises(error):
        chain.integrate(rates, 0)
    assert cohort_values(chain) == before


@pytest.mark.parametrize("basis, name", [("direct", "_dispersion_rate"), ("cohort", "_dispersion_profile")])
def test_one_table_serving_two_curves_as_it_grows(monkeypatch, basis, name):
    """Equal sucker and flowering curves share one tabulated curve, which grows
    while a step reads it through both; several chains share it too. Against
    the package's own function called from Python for every count."""
    curve = {"threshold_dd": 0.0, "amplitude": 0.01, "peak_weeks": 150.0, "spread": 60.0}
    duck = Params(general={"rate_basis": basis, "max_age_weeks_vegetative": 10**6,
                           "population_epsilon": 0.0},
                  flowering=curve, sucker_selection=curve)
    native = ParameterSet.from_dict({g: dict(getattr(duck, g)) for g in ParameterSet.default().to_dict()})

    def stepped(params):
        chains = [CohortChain(PRE, params) for _ in range(2)]
        for j, chain in enumerate(chains):
            for k in range(3):
                chain.add_new_cohort(1e6, -k).thermal_age = 10.0 * k
        log = []
        for w in range(300):  # the counters pass several table lengths
            for j, chain in enumerate(chains):
                rates = chain.calc_rates(5.0 + j)
                chain.integrate(rates, w)
                log.append(values(rates))
            if w % 50 == 0:
                chains[0].add_new_cohort(1e6, w)
        return log, [cohort_values(c) for c in chains]

    expected_native = stepped(native)
    original = getattr(cohorts, name)
    monkeypatch.setattr(cohorts, name, lambda *a, **k: original(*a, **k))
    assert stepped(native) == expected_native
