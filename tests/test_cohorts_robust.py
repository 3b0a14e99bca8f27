"""Chains under hostile conditions: Python code that changes the list while an
operation runs, instances whose __init__ never ran, stale rates records and
week numbers at the ends of the 64-bit range."""

import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pandas as pd
import pytest

from py_narvo_pop import cohorts
from py_narvo_pop.cohorts import ChainKind, Cohort, CohortChain, _ChainRates
from py_narvo_pop.exceptions import CohortChainError

from conftest import Params

PRE, POST = ChainKind.PRE_FLOWERING, ChainKind.POST_FLOWERING
I64_MIN, I64_MAX = -(2**63), 2**63 - 1
TESTS = Path(__file__).resolve().parent

PRELUDE = """
import gc, pickle, sys
sys.path.insert(0, {tests!r})
from conftest import Params
from py_narvo_pop import cohorts
from py_narvo_pop.cohorts import ChainKind, Cohort, CohortChain, _ChainRates, _RatesMap
PRE = ChainKind.PRE_FLOWERING
def filled(n):
    chain = CohortChain(PRE, Params())
    for w in range(n):
        chain.add_new_cohort(1.0 + w, w)
    return chain
"""


def run_isolated(body):
    """Runs `body` in a fresh interpreter; returns its stdout (a crash fails the test)."""
    code = PRELUDE.format(tests=str(TESTS)) + textwrap.dedent(body)
    env = {**os.environ, "PYTHONFAULTHANDLER": "1"}
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60, env=env)
    assert proc.returncode == 0, proc.stderr[-3000:]
    return proc.stdout.split()


# ------------------------------------------- the list changing underneath ---

CHANGING_LIST = {
    # A collection run while the rows are built adds cohorts through a finalizer.
    "as_dataframe, finalizer": """
        chain = filled(2000)
        class Grow:
            def __init__(self):
                self.me = self
            def __del__(self):
                for w in range(5000):
                    chain.add_new_cohort(1.0, w)
        Grow()
        gc.set_threshold(300)
        frame = chain.as_dataframe()
        print(len(frame), len(chain), list(frame.population[:3]))
    """,
    # A cohort's kind whose value is a property that changes the chain.
    "as_dataframe, value property": """
        chain = filled(50)
        class Kind:
            @property
            def value(self):
                for w in range(500):
                    chain.add_new_cohort(1.0, w)
                chain._prune_cohorts(10**6)
                return "pre_flowering"
        for c in chain:
            c.chain = Kind()
        frame = chain.as_dataframe()
        print(len(frame), len(chain), list(frame.population[:3]))
    """,
    # Dropping the old cohorts runs a finalizer that uses the chain.
    "setstate, finalizer of a dropped cohort's field": """
        chain = filled(3)
        class Hook:
            def __del__(self):
                chain.add_new_cohort(7.0, 99)
                chain._prune_cohorts(10**6)
        for c in chain:
            c.chain = Hook()
        del c
        chain.__setstate__(([Cohort(PRE, 5, 1.0), Cohort(PRE, 6, 2.0), Cohort(PRE, 7, 3.0)], None))
        print(len(chain), chain.total_population(), len(chain.as_dataframe()))
    """,
}

EXPECTED_ROWS = {
    "as_dataframe, finalizer": ["2000", "7000", "[1.0,", "2.0,", "3.0]"],
    "as_dataframe, value property": ["50", "0", "[1.0,", "2.0,", "3.0]"],
    # Each finalizer ran once the new list was in place, and pruned it.
    "setstate, finalizer of a dropped cohort's field": ["0", "0", "0"],
}


@pytest.mark.parametrize("case", list(CHANGING_LIST))
def test_list_changed_by_python_code_during_an_operation(case):
    # An export is of the list as it stood when it was called.
    assert run_isolated(CHANGING_LIST[case]) == EXPECTED_ROWS[case]


class GrowingMapping(dict):
    """A parameter group (or rates map) that adds a cohort to `chain` when read."""

    chain = None

    def __getitem__(self, key):
        self.chain.add_new_cohort(1.0, 77)
        return super().__getitem__(key)


@pytest.mark.parametrize("operation, message", [
    (lambda chain: chain.apply_exogenous_removal(1.0, 1), "exogenous removal"),
    (lambda chain: chain.integrate(_ChainRates(
        GrowingMapping({0: 5.0, 1: 5.0}), {0: (0, 0, 0), 1: (0, 0, 0)}, {0: 0.5, 1: 0.5}, {0: 0.0, 1: 0.0},
        {}, 0.0, 0.0, 0.0), 1), "weekly step"),
    (lambda chain: chain.integrate(_ChainRates({0: 5.0, 1: 5.0}, {0: (0, 0, 0), 1: (0, 0, 0)},
                                               {0: 0.5, 1: 0.5}, {0: 0.0, 1: 0.0}, {}, 0.0, 0.0, 0.0), 1),
     "weekly step"),
])
def test_reading_that_changes_the_list_is_refused_and_changes_nothing(operation, message):
    chain = CohortChain(PRE, Params())
    chain.add_new_cohort(10.0, 0)
    chain.add_new_cohort(20.0, 0)
    chain._params.general = GrowingMapping(chain._params.general)
    GrowingMapping.chain = chain
    with pytest.raises(RuntimeError, match=f"^the chain's cohorts changed while its {message} was running$"):
        operation(chain)
    assert [c.population for c in chain][:2] == [10.0, 20.0]
    assert all(c.thermal_age == 0.0 for c in chain)


def test_python_curve_that_changes_the_list_fails_the_step(monkeypatch):
    chain = CohortChain(PRE, Params())
    for w in range(3):
        chain.add_new_cohort(5.0, w)

    def rate(n, **curve):
        chain.add_new_cohort(1.0, 50)
        return 0.01

    monkeypatch.setattr(cohorts, "_dispersion_rate", rate)
    with pytest.raises(RuntimeError, match="weekly step was running"):
        chain.calc_rates(400.0)


# ---------------------------------------------- instances never initialised ---

# (statement, the type named in the error); the chain is left as it was.
UNINITIALISED = {
    "cohorts in a chain's state": (
        "chain.__setstate__(([Cohort.__new__(Cohort) for _ in range(200)], None))", "Cohort"),
    "one cohort among constructed ones": (
        "chain.__setstate__(([Cohort(PRE, 1, 1.0), Cohort.__new__(Cohort)], None))", "Cohort"),
    "rates record": ("chain.integrate(_ChainRates.__new__(_ChainRates), 1)", "_ChainRates"),
    "rates record, empty chain": ("CohortChain(PRE, Params()).integrate(_ChainRates.__new__(_ChainRates), 1)",
                                  "_ChainRates"),
    "rates map inside a record": (
        "chain.integrate(_ChainRates(*[_RatesMap.__new__(_RatesMap)] * 5, 0.0, 0.0, 0.0), 1)", "_RatesMap"),
}

SUBCLASS = """
class Lazy(CohortChain):
    def __init__(self, kind, params):
        pass
"""

SKIPPED_INIT = {
    "from_dataframe": "Lazy.from_dataframe(__import__('pandas').DataFrame({'population': [1.0], 'age_weeks': [1]}), "
                      "PRE, 5, None, Params())",
    "repr": "repr(Lazy(PRE, Params()))",
    "pickle": "pickle.dumps(Lazy(PRE, Params()))",
    "setstate": "Lazy(PRE, Params()).__setstate__(([], None))",
}


def refusal(statement):
    return f"""
        try:
            {statement}
        except TypeError as e:
            print("TypeError:", e)
        else:
            print("accepted")
    """


@pytest.mark.parametrize("case", list(UNINITIALISED))
def test_uninitialised_instances_are_refused(case):
    statement, name = UNINITIALISED[case]
    code = ("import warnings\nwarnings.simplefilter('ignore')\nchain = filled(2)\n" + textwrap.dedent(refusal(statement))
            + "print(len(chain), chain.total_population(), len(chain.as_dataframe()))\n")
    out = " ".join(run_isolated(code))
    assert out == f"TypeError: {name}.__init__() was not called on this {name} instance 2 3.0 2"


@pytest.mark.parametrize("case", list(SKIPPED_INIT))
def test_subclass_that_skips_chain_init_is_a_type_error(case):
    code = "import warnings\nwarnings.simplefilter('ignore')\n" + SUBCLASS + textwrap.dedent(refusal(SKIPPED_INIT[case]))
    out = " ".join(run_isolated(code))
    assert out == "TypeError: CohortChain.__init__() was not called on this Lazy instance"


# ---------------------------------------------------------- stale rates ---

STALE_MSG = ("^rates were computed by calc_rates for a different state of this chain "
             r"\(its cohorts changed since\); call calc_rates again$")


@pytest.mark.parametrize("change", [
    # Same length as before: one added, the oldest pruned.
    lambda chain: (chain.add_new_cohort(9.0, 30), chain._prune_cohorts(3)),
    # Shorter: a removal that prunes.
    lambda chain: chain.apply_exogenous_removal(60.0, 0),
    lambda chain: chain._prune_cohorts(3),
    lambda chain: chain.__setstate__((list(chain)[1:], None)),
    lambda chain: chain.__setstate__((list(chain), None)),
])
def test_rates_of_an_earlier_list_are_refused(change):
    params = Params(general={"max_age_weeks_vegetative": 2, "population_epsilon": 2.0})
    chain = CohortChain(PRE, params)
    for w, population in enumerate([2.5, 50.0, 60.0]):
        chain.add_new_cohort(population, w)
    rates = chain.calc_rates(200.0)
    change(chain)
    before = [c._values() for c in chain]
    with pytest.raises(ValueError, match=STALE_MSG):
        chain.integrate(rates, 1)
    assert [c._values() for c in chain] == before
    # A record rebuilt from the same maps is the same record.
    with pytest.raises(ValueError, match=STALE_MSG):
        chain.integrate(_ChainRates(*rates._values()), 1)
    chain.integrate(chain.calc_rates(200.0), 1)


def test_rates_that_still_fit_are_applied():
    params = Params()
    chain, twin = CohortChain(PRE, params), CohortChain(PRE, params)
    for c in (chain, twin):
        for w in range(3):
            c.add_new_cohort(5.0 + w, w)
    rates = chain.calc_rates(150.0)
    assert chain._prune_cohorts(1) == []  # nothing pruned: the list is the same
    chain.apply_exogenous_removal(0.5, 1)  # populations change, positions do not
    twin.integrate(rates, 1)  # another chain of the same length
    chain.integrate(rates, 1)
    assert [c.thermal_age for c in chain] == [c.thermal_age for c in twin] == [150.0] * 3
    hand_built = _ChainRates(*(dict(v) if hasattr(v, "items") else v for v in rates._values()))
    chain.add_new_cohort(1.0, 9)
    chain._prune_cohorts(10**6)
    chain.integrate(hand_built, 2)  # records built by hand are the caller's business


# ---------------------------------------------------- 64-bit week numbers ---

@pytest.mark.parametrize("birth, current", [
    (I64_MIN, 1), (I64_MIN, I64_MAX), (I64_MAX, I64_MIN), (I64_MAX, -1), (0, I64_MIN), (12, 10),
])
def test_age_weeks_is_python_arithmetic(birth, current):
    assert Cohort(PRE, birth, 1.0).age_weeks(current) == current - birth


@pytest.mark.parametrize("birth, current, limit", [
    (I64_MIN, I64_MAX, 1e30),
    (I64_MIN, I64_MAX, float(2**64)),
    (I64_MIN, I64_MAX, float(2**64 - 2**11)),
    (I64_MAX, I64_MIN, -float(2**64)),
    (I64_MAX, I64_MIN, -1e300),
    (0, 2**53 + 1, float(2**53)),
    (2**53 + 1, 0, -float(2**53)),
    (0, I64_MAX, float(I64_MAX)),
    (5, 7, 1.5),
    (I64_MIN, I64_MAX, float("inf")),
    (I64_MAX, I64_MIN, float("-inf")),
    (I64_MIN, I64_MAX, float("nan")),
])
def test_pruning_by_age_compares_exactly(birth, current, limit):
    params = Params(general={"max_age_weeks_vegetative": limit, "population_epsilon": 0.0})
    chain = CohortChain(PRE, params)
    cohort = chain.add_new_cohort(1.0, birth)
    removed = chain._prune_cohorts(current)
    assert (removed == [cohort]) is (current - birth > limit)


class Coverage:
    """A provider covering every week from `first` on, one degree-day each."""

    def __init__(self, first):
        self.min_week_index = first

    def thermal_increment(self, w):
        return 1.0


def seed(ages, current, weather=None):
    rows = pd.DataFrame({"population": [1.0] * len(ages), "age_weeks": ages})
    return CohortChain.from_dataframe(rows, PRE, current, weather or Coverage(0), Params())


@pytest.mark.parametrize("age, current, first", [
    (I64_MAX, 0, 5), (I64_MAX, 3, I64_MAX), (2**62, -(2**62), 1), (2**63 + 4, 5, 0),
])
def test_seeding_advice_is_python_arithmetic(age, current, first):
    with pytest.raises(CohortChainError) as err:
        seed([age], current, Coverage(first))
    assert err.value.args[0].endswith(
        f"before the weather data's coverage starts at week_index {first}. Raise start_week_index to at "
        f"least {age + first - 1}, or construct WeatherProvider with weather data and an explicit "
        "run_start_date extending back far enough.")
    assert f"implies birth_week_index={current - age};" in err.value.args[0]


def test_seeding_at_the_ends_of_the_week_range():
    # The smallest start week has no week before it to replay.
    assert [c.birth_week_index for c in seed([0], I64_MIN)] == [I64_MIN]
    assert [c.birth_week_index for c in seed([-1], I64_MAX - 1)] == [I64_MAX]
    with pytest.raises(OverflowError, match=r"^seed row with age_weeks=-1 for chain=pre_flowering implies "
                                            rf"birth_week_index={2**63}, outside the range of week indices$"):
        seed([-1], I64_MAX)


def test_replay_up_to_the_largest_week_stops_there():
    # A loop stepping past the last week would wrap around and never end.
    out = run_isolated("""
        from py_narvo_pop.cohorts import _replay_cohort_history
        class Coverage:
            min_week_index = 0
            def thermal_increment(self, w):
                return 1.0
        last = 2**63 - 1
        print(_replay_cohort_history(PRE, last - 2, 1.0, last, Coverage(), Params()).thermal_age)
    """)
    assert out == ["2.0"]


# -------------------------------------------------------- seeding cells ---

@pytest.mark.parametrize("ages", [[True], [3, False]])
def test_boolean_age_is_not_a_number_of_weeks(ages):
    bad = next(a for a in ages if isinstance(a, bool))
    with pytest.raises(CohortChainError) as err:
        seed(ages, 10)
    assert err.value.args[0] == (f"seed row with age_weeks={bad} for chain=pre_flowering has a boolean age; "
                                 "expected a whole number of weeks")
