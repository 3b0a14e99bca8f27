"""Cohorts, column maps and the chain container."""

import copy
import dataclasses
import enum
import math
import pickle

import pytest

from py_narvo_pop.cohorts import ChainKind, Cohort, CohortChain, CohortColumnMap

PRE, POST = ChainKind.PRE_FLOWERING, ChainKind.POST_FLOWERING


def test_chain_kind_is_a_str_enum():
    assert issubclass(ChainKind, enum.Enum) and issubclass(ChainKind, str)
    assert ChainKind("post_flowering") is POST
    assert PRE == "pre_flowering" and isinstance(PRE, str)
    assert [k.value for k in ChainKind] == ["pre_flowering", "post_flowering"]
    with pytest.raises(ValueError):
        ChainKind("PRE_FLOWERING")


def test_cohort_defaults_keywords_and_equality():
    a = Cohort(PRE, 3, 10.0)
    b = Cohort(chain=PRE, birth_week_index=3, population=10.0, thermal_age=0.0,
               weeks_since_flowering_threshold=0, weeks_since_sucker_threshold=0,
               weeks_since_harvest_threshold=0)
    assert a == b
    assert a != Cohort(PRE, 3, 10.0, 1.0)
    assert a.__eq__((PRE, 3, 10.0)) is NotImplemented
    with pytest.raises(TypeError):
        hash(a)
    with pytest.raises(AttributeError):
        a.extra = 1
    assert repr(a) == (
        "Cohort(chain=<ChainKind.PRE_FLOWERING: 'pre_flowering'>, birth_week_index=3, "
        "population=10.0, thermal_age=0.0, weeks_since_flowering_threshold=0, "
        "weeks_since_sucker_threshold=0, weeks_since_harvest_threshold=0)")


def test_cohort_copy_replace_pickle_match():
    a = Cohort(POST, -2, 4.5, 12.0, 0, 3, 1)
    assert pickle.loads(pickle.dumps(a)) == a
    assert copy.replace(a, population=1.0).population == 1.0 and a.population == 4.5
    match a:
        case Cohort(chain, birth, population):
            assert (chain, birth, population) == (POST, -2, 4.5)


@pytest.mark.parametrize("current, expected", [(10, -2), (12, 0), (20, 8)])
def test_age_weeks(current, expected):
    assert Cohort(PRE, 12, 1.0).age_weeks(current) == expected


def test_column_map_is_frozen_and_hashable():
    m = CohortColumnMap()
    assert (m.chain, m.population, m.age_weeks) == ("chain", "population", "age_weeks")
    assert m == CohortColumnMap("chain", "population", "age_weeks")
    assert hash(m) == hash(CohortColumnMap())
    assert m != CohortColumnMap(age_weeks="age")
    with pytest.raises(dataclasses.FrozenInstanceError):
        m.chain = "kind"
    with pytest.raises(dataclasses.FrozenInstanceError):
        m.other = 1
    assert pickle.loads(pickle.dumps(m)) == m
    assert copy.replace(m, population="n") == CohortColumnMap(population="n")


@pytest.mark.parametrize("population", [0.0, -1.0, -1e-300])
def test_add_new_cohort_refuses_non_positive(params, population):
    chain = CohortChain(PRE, params)
    assert chain.add_new_cohort(population, 1) is None
    assert len(chain) == 0


def test_add_new_cohort_refuses_nan(params):
    chain = CohortChain(PRE, params)
    with pytest.raises(ValueError, match="nan"):
        chain.add_new_cohort(math.nan, 1)
    assert len(chain) == 0


def test_add_new_cohort_and_identity(params):
    chain = CohortChain(POST, params)
    a = chain.add_new_cohort(5e-324, 4)
    b = chain.add_new_cohort(2.5, 4)
    assert a == Cohort(POST, 4, 5e-324) and b.chain is POST
    assert len(chain) == 2 and [c for c in chain] == [a, b]
    assert next(iter(chain)) is a and chain._cohorts[1] is b
    a.population = 7.0
    assert next(iter(chain)).population == 7.0
    assert chain.total_population() == 9.5
    assert chain.kind is POST and chain._params is params


def test_empty_chain(params):
    chain = CohortChain(PRE, params)
    assert chain.total_population() == 0 and len(chain) == 0 and list(chain) == []


def test_total_population_sums_like_python(params):
    chain = CohortChain(PRE, params)
    values = [0.1] * 10 + [1e16, 1.0, -1e16]
    for i, v in enumerate(values):
        if v > 0:
            chain.add_new_cohort(v, i)
    assert chain.total_population() == sum(v for v in values if v > 0)


def test_chain_accepts_any_parameter_object_and_subclassing():
    class MyChain(CohortChain):
        def describe(self):
            return f"{self.kind.value}: {len(self)}"

    chain = MyChain(PRE, object())
    chain.add_new_cohort(1.0, 0)
    assert isinstance(chain, CohortChain) and chain.describe() == "pre_flowering: 1"
