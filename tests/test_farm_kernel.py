"""The farm kernel against the chains' own weekly step and the engine."""

from __future__ import annotations

import subprocess
import sys

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from conftest import Params
from py_narvo_pop import _farm
from py_narvo_pop.cli import EXAMPLE_START_WEEK
from py_narvo_pop.cohorts import ChainKind, CohortChain
from py_narvo_pop.dispersion import _dispersion_profile
from py_narvo_pop.exceptions import CohortChainError
from py_narvo_pop.parameters import ParameterSet

GROUPS = ("general", "flowering", "sucker_selection", "harvest", "mortality_replacement")


def with_basis(params, basis):
    groups = {g: dict(getattr(params, g)) for g in GROUPS}
    groups["general"]["rate_basis"] = basis
    return ParameterSet.from_dict(groups)


@pytest.fixture(scope="module")
def farm(example_farm):
    return example_farm


def seeded_chains(params, weather, inventory, start):
    return [
        CohortChain.from_dataframe(inventory[inventory["chain"] == k.value], k, start, weather, params)
        for k in (ChainKind.PRE_FLOWERING, ChainKind.POST_FLOWERING)
    ]


def parous_oracle(pre, a, flowered_plants):
    """Suckers of flowered plants, each cohort standing for at most the farm's flowered plants."""
    params = pre._params
    if params.general["rate_basis"] != "cohort":
        return a.sum_sucker_parous
    g = params.flowering
    profile = _dispersion_profile(g["amplitude"], g["peak_weeks"], g["spread"])
    total = 0.0
    for i, cohort in enumerate(pre):
        p, s = cohort.population, a.sucker[i]
        f = profile.fraction_done(a.next_counters[i][0] - 1)
        if s > 0.0 and f > 0.0:
            if f < 1.0 and p * f <= flowered_plants * (1.0 - f):
                total += s * f / (1.0 - f)
            else:
                total += s / p * flowered_plants
    return total


def chain_loop(pre, post, first_week, increments, replacements):
    """The engine's weekly order written out over the chains' public operations."""
    rows = []
    for i, inc in enumerate(increments):
        w = first_week + i
        flowered_plants = float(post.total_population())
        a, b = pre.calc_rates(float(inc)), post.calc_rates(float(inc))
        parous = parous_oracle(pre, a, flowered_plants)
        pruned = float(sum(c.population for c in pre.integrate(a, w)))
        pruned += float(sum(c.population for c in post.integrate(b, w)))
        suckers = a.sum_sucker + parous + b.sum_sucker
        post.add_new_cohort(a.sum_chain_exit, w)
        pre.add_new_cohort(suckers + float(replacements[i]), w)
        rows.append(
            {
                "week_index": w,
                "heat_units": float(inc),
                "pre_flowering": float(pre.total_population()),
                "post_flowering": float(post.total_population()),
                "flowering": a.sum_chain_exit,
                "harvest": b.sum_chain_exit,
                "deaths": a.sum_death + b.sum_death,
                "suckers": suckers,
                "replacements": float(replacements[i]),
                "pruned": pruned,
                "pre_flowering_cohorts": len(pre),
                "post_flowering_cohorts": len(post),
            }
        )
    return rows


def assert_same_states(a, b):
    assert set(a) == set(_farm.STATE_KEYS) == set(b)
    for key in _farm.STATE_KEYS:
        np.testing.assert_array_equal(a[key], b[key], err_msg=key, strict=True)


def assert_matches_loop(columns, rows):
    for name in _farm.COLUMNS:
        assert columns[name].tolist() == [r[name] for r in rows], name


# ------------------------------------------------------------ example farm ---


@pytest.mark.parametrize("basis", ["cohort", "direct"])
def test_example_farm_matches_engine_and_chains(farm, basis):
    from py_narvo_pop.engine import NarvoPopEngine

    params, weather, inventory, schedule = farm
    params = with_basis(params, basis)
    start, n = EXAMPLE_START_WEEK, 150
    engine = NarvoPopEngine(params, weather, inventory, schedule, start_week_index=start)
    pre0, post0 = _farm.chain_states(engine.pre_flowering), _farm.chain_states(engine.post_flowering)
    weeks = range(start, start + n)
    inc = np.array([weather.thermal_increment(w) for w in weeks])
    rep = np.array([engine.replacement_suckers(w) for w in weeks])

    columns, pre1, post1 = _farm.run(params, pre0, post0, start, inc, rep)
    table = engine.run(n)
    for name in _farm.COLUMNS:
        if name in table:
            assert table[name].tolist() == columns[name].tolist(), name
    assert_same_states(pre1, _farm.chain_states(engine.pre_flowering))
    assert_same_states(post1, _farm.chain_states(engine.post_flowering))

    pre, post = seeded_chains(params, weather, inventory, start)
    assert_matches_loop(columns, chain_loop(pre, post, start, inc, rep))


@pytest.mark.parametrize("basis", ["cohort", "direct"])
def test_seed_matches_from_dataframe(farm, basis):
    params, weather, inventory, _ = farm
    params = with_basis(params, basis)
    lo = weather.min_week_index
    inc = np.array([weather.thermal_increment(w) for w in range(lo, EXAMPLE_START_WEEK + 1)])
    for chains in (inventory["chain"].to_numpy(), (inventory["chain"] == "post_flowering").to_numpy().astype(int)):
        seeded = _farm.seed(params, chains, inventory["population"], inventory["age_weeks"], EXAMPLE_START_WEEK, lo, inc)
        for states, chain in zip(seeded, seeded_chains(params, weather, inventory, EXAMPLE_START_WEEK)):
            assert_same_states(states, _farm.chain_states(chain))


@pytest.mark.parametrize(
    ("ages", "start", "error"),
    [
        ([3, 3], 20, CohortChainError),  # two rows born in the same week
        ([30], 20, CohortChainError),  # history before the increments start
        ([2], 60, Exception),  # history after the increments end
    ],
)
def test_seed_fails_as_from_dataframe(ages, start, error):
    params = Params()
    inc = np.linspace(10.0, 60.0, 40)
    import pandas as pd

    class Weather:  # a provider over the same increments, weeks 0..39
        min_week_index = 0

        def thermal_increment(self, w):
            if not 0 <= w < len(inc):
                from py_narvo_pop.exceptions import WeatherError

                raise WeatherError(f"week_index {w} is outside the weather data's coverage (0..39)")
            return float(inc[w])

    rows = pd.DataFrame({"chain": "pre_flowering", "population": [5.0] * len(ages), "age_weeks": ages})
    with pytest.raises(error) as expected:
        CohortChain.from_dataframe(rows, ChainKind.PRE_FLOWERING, start, Weather(), params)
    with pytest.raises(type(expected.value)) as got:
        _farm.seed(params, rows["chain"], rows["population"], rows["age_weeks"], start, 0, inc)
    assert str(got.value) == str(expected.value)


# ------------------------------------------------------------- generated ---

curve = st.fixed_dictionaries(
    {
        "amplitude": st.floats(0.0, 1.0),
        "peak_weeks": st.floats(-3.0, 15.0),
        "spread": st.floats(0.0, 6.0),
    }
)


@st.composite
def farms(draw):
    params = Params(
        general={
            "rate_basis": draw(st.sampled_from(["cohort", "direct"])),
            "max_age_weeks_vegetative": draw(st.integers(5, 80)),
            "max_age_weeks_reproductive": draw(st.integers(3, 40)),
            "population_epsilon": draw(st.sampled_from([0.0, 1e-6, 0.5])),
        },
        flowering={"threshold_dd": draw(st.floats(0.0, 1500.0)), **draw(curve)},
        sucker_selection={"threshold_dd": draw(st.floats(0.0, 1500.0)), **draw(curve)},
        harvest={"threshold_dd": draw(st.floats(0.0, 1500.0)), "hazard_weeks": draw(st.floats(0.5, 10.0))},
        mortality_replacement={
            "death_rate_vegetative": draw(st.floats(0.0, 0.2)),
            "death_rate_reproductive": draw(st.floats(0.0, 0.2)),
        },
    )

    def states():
        n = draw(st.integers(0, 12))
        births = draw(st.lists(st.integers(-60, 0), min_size=n, max_size=n))
        return {
            "birth_week_index": np.array(births, dtype=np.int64),
            "population": np.array(draw(st.lists(st.floats(0.0, 1000.0), min_size=n, max_size=n))),
            "thermal_age": np.array(draw(st.lists(st.floats(0.0, 3000.0), min_size=n, max_size=n))),
            **{
                key: np.array(draw(st.lists(st.integers(0, 20), min_size=n, max_size=n)), dtype=np.int64)
                for key in _farm.STATE_KEYS[3:]
            },
        }

    weeks = draw(st.integers(1, 40))
    inc = np.array(draw(st.lists(st.floats(0.0, 200.0), min_size=weeks, max_size=weeks)))
    rep = np.array(draw(st.lists(st.sampled_from([0.0, 0.0, 3.0, 250.0]), min_size=weeks, max_size=weeks)))
    return params, states(), states(), draw(st.integers(0, 5)), inc, rep


def chains_from(params, pre_states, post_states):
    pre = CohortChain(ChainKind.PRE_FLOWERING, params)
    post = CohortChain(ChainKind.POST_FLOWERING, params)
    _farm.load_chain_states(pre, pre_states)
    _farm.load_chain_states(post, post_states)
    return pre, post


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(farms())
def test_generated_farms_match_chains(case):
    params, pre_states, post_states, first, inc, rep = case
    columns, pre1, post1 = _farm.run(params, pre_states, post_states, first, inc, rep)
    pre, post = chains_from(params, pre_states, post_states)
    assert_matches_loop(columns, chain_loop(pre, post, first, inc, rep))
    assert_same_states(pre1, _farm.chain_states(pre))
    assert_same_states(post1, _farm.chain_states(post))

    # Every plant is accounted for: the week's start, plus the suckers and
    # replacements, less harvest, deaths and pruning, is the week's end.
    before = pre_states["population"].sum() + post_states["population"].sum()
    for k in range(len(inc)):
        after = columns["pre_flowering"][k] + columns["post_flowering"][k]
        inflow = max(columns["suckers"][k] + columns["replacements"][k], 0.0)
        change = inflow - columns["harvest"][k] - columns["deaths"][k] - columns["pruned"][k]
        assert after == pytest.approx(before + change, rel=1e-9, abs=1e-6)
        before = after


@settings(max_examples=25, deadline=None)
@given(st.lists(farms(), min_size=1, max_size=4))
def test_run_many_is_a_loop_of_run(cases):
    weeks = min(len(c[4]) for c in cases)
    params = [c[0] for c in cases]
    pres, posts = [c[1] for c in cases], [c[2] for c in cases]
    inc = np.stack([c[4][:weeks] for c in cases])
    rep = np.stack([c[5][:weeks] for c in cases])
    results = [_farm.run_many(params, pres, posts, 3, inc, rep, threads=t, eager_threads=True)
               for t in (1, 2, 3)]
    for values, states in results:
        assert values.shape == (len(cases), weeks, len(_farm.COLUMNS))
        for s, case in enumerate(cases):
            columns, pre1, post1 = _farm.run(case[0], case[1], case[2], 3, inc[s], rep[s])
            expected = np.column_stack([columns[name].astype(float) for name in _farm.COLUMNS])
            np.testing.assert_array_equal(values[s], expected)
            assert_same_states(states[s][0], pre1)
            assert_same_states(states[s][1], post1)


# ------------------------------------------------------ inputs it refuses ---


def test_states_round_trip_through_a_chain():
    params = Params()
    states = {
        "birth_week_index": np.array([4, -2, 4]),
        "population": np.array([1.5, 0.0, 7.25]),
        "thermal_age": np.array([10.0, 900.5, 0.0]),
        "weeks_since_flowering_threshold": np.array([0, 3, 0]),
        "weeks_since_sucker_threshold": np.array([1, 2, 0]),
        "weeks_since_harvest_threshold": np.array([0, 0, 9]),
    }
    pre, _ = chains_from(params, states, states)
    assert [c.chain for c in pre] == [ChainKind.PRE_FLOWERING] * 3
    assert_same_states(_farm.chain_states(pre), {k: np.asarray(v) for k, v in states.items()})


def empty_states():
    return {k: np.zeros(0) for k in _farm.STATE_KEYS}


@pytest.mark.parametrize(
    ("change", "error", "match"),
    [
        ({"increments": [1.0, float("nan")]}, ValueError, "finite number of degree-days, got nan"),
        ({"increments": [1.0, float("inf")]}, ValueError, "got inf"),
        ({"replacements": [0.0, float("nan")]}, ValueError, "got nan"),
        ({"replacements": [0.0]}, ValueError, "same length"),
        ({"params": Params(harvest={"hazard_weeks": 0.0})}, ValueError, "hazard_weeks"),
        ({"params": Params(flowering={"spread": -1.0})}, ValueError, "dispersion curve"),
        ({"pre_states": {**empty_states(), "population": np.ones(2)}}, ValueError, "same length"),
        ({"pre_states": {**empty_states(), "weeks_since_sucker_threshold": [0.5]}}, TypeError, "integers"),
    ],
)
def test_run_refuses(change, error, match):
    args = {
        "params": Params(),
        "pre_states": empty_states(),
        "post_states": empty_states(),
        "first_week": 0,
        "increments": [1.0, 2.0],
        "replacements": [0.0, 0.0],
        **change,
    }
    with pytest.raises(error, match=match):
        _farm.run(**args)


@pytest.mark.parametrize("group, key", [("general", "population_epsilon"), ("harvest", "hazard_weeks")])
def test_missing_parameter_fails_as_the_parameter_set_does(group, key):
    duck = Params()
    del getattr(duck, group)[key]
    chain = CohortChain(ChainKind.POST_FLOWERING, duck)
    chain.add_new_cohort(1.0, 0)
    with pytest.raises(KeyError) as expected:
        chain.integrate(chain.calc_rates(1.0), 0)
    with pytest.raises(type(expected.value)) as got:
        _farm.run(duck, empty_states(), empty_states(), 0, [1.0], [0.0])
    assert got.value.args == expected.value.args


def test_inputs_are_left_unchanged():
    params = Params()
    states = {
        "birth_week_index": np.array([-30]),
        "population": np.array([100.0]),
        "thermal_age": np.array([1200.0]),
        **{k: np.array([3]) for k in _farm.STATE_KEYS[3:]},
    }
    copy = {k: v.copy() for k, v in states.items()}
    _farm.run(params, states, states, 0, np.full(10, 50.0), np.zeros(10))
    assert_same_states(states, copy)


def test_threads_survive_a_failing_scenario():
    code = (
        "import numpy as np\n"
        "from conftest import Params\n"
        "from py_narvo_pop import _farm\n"
        "s = {k: np.zeros(0) for k in _farm.STATE_KEYS}\n"
        "rep = np.zeros((8, 20)); rep[5, 3] = float('nan')\n"
        "try:\n"
        "    _farm.run_many(Params(), s, s, 0, np.full(20, 30.0), rep, threads=4, eager_threads=True)\n"
        "except ValueError as e:\n"
        "    print('refused:', e)\n"
    )
    import os

    env = {**os.environ, "PYTHONPATH": os.pathsep.join([os.path.dirname(__file__), *sys.path])}
    r = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60, env=env)
    assert r.returncode == 0, r.stderr
    assert "refused: population must be a number, got nan" in r.stdout


# ------------------------------------------------------- pruning by age ---

INT64 = np.iinfo(np.int64)


@pytest.mark.parametrize(
    "limit", [0, 0.5, 3, 2.999999, -1.5, 1e300, -1e300, float("inf"), float("-inf"), float("nan"), 2.0**63, -(2.0**63)]
)
@pytest.mark.parametrize("first", [0, INT64.max - 10, INT64.min + 10])
def test_age_limits_prune_as_the_chains_do(limit, first):
    # Births from the far past to the far future of `first`, so that the age
    # (week - birth) overflows 64 bits in both directions.
    params = Params(general={"max_age_weeks_vegetative": limit, "max_age_weeks_reproductive": limit,
                             "population_epsilon": 0.0})
    births = sorted({INT64.min, INT64.min + 1, INT64.max, INT64.max - 1, first - 4, first - 3, first, first + 2, 0, -7})
    states = {
        "birth_week_index": np.array(births, dtype=np.int64),
        "population": np.linspace(1.0, 5.0, len(births)),
        "thermal_age": np.zeros(len(births)),
        **{k: np.zeros(len(births), dtype=np.int64) for k in _farm.STATE_KEYS[3:]},
    }
    inc, rep = np.full(3, 10.0), np.zeros(3)
    columns, pre1, post1 = _farm.run(params, states, states, first, inc, rep)
    pre, post = chains_from(params, states, states)
    assert_matches_loop(columns, chain_loop(pre, post, first, inc, rep))
    assert_same_states(pre1, _farm.chain_states(pre))
    assert_same_states(post1, _farm.chain_states(post))


# ---------------------------------------------------- ensembles of runs ---


def farm_states(n, seed):
    rng = np.random.default_rng(seed)
    return {
        "birth_week_index": -rng.permutation(60)[:n].astype(np.int64),
        "population": rng.uniform(0.0, 500.0, n),
        "thermal_age": rng.uniform(0.0, 2500.0, n),
        **{k: rng.integers(0, 30, n) for k in _farm.STATE_KEYS[3:]},
    }


def test_run_many_reads_repeated_and_distinct_inputs_alike():
    a = Params(general={"rate_basis": "cohort"})
    same_curves = Params(general={"rate_basis": "cohort"}, mortality_replacement={"death_rate_vegetative": 0.05})
    other = Params(flowering={"peak_weeks": 3.0})
    pre, post = farm_states(12, 1), farm_states(5, 2)
    pre_copy = {k: v.copy() for k, v in pre.items()}
    params = [a, a, same_curves, other, a]
    pres = [pre, pre, pre_copy, pre, farm_states(0, 3)]
    posts = [post, farm_states(7, 4), post, post, post]
    rng = np.random.default_rng(5)
    inc = rng.uniform(0.0, 150.0, (5, 45))
    rep = rng.choice([0.0, 40.0], (5, 45))
    for threads in (1, 2):
        values, states = _farm.run_many(params, pres, posts, -3, inc, rep, threads=threads, eager_threads=True)
        for s in range(5):
            columns, pre1, post1 = _farm.run(params[s], pres[s], posts[s], -3, inc[s], rep[s])
            np.testing.assert_array_equal(values[s], np.column_stack([columns[c] for c in _farm.COLUMNS]).astype(float))
            assert_same_states(states[s][0], pre1)
            assert_same_states(states[s][1], post1)
        # Each scenario's states are its own: writing one leaves the others.
        kept = [{k: v.copy() for k, v in d.items()} for pair in states for d in pair]
        for key in _farm.STATE_KEYS:
            states[0][0][key][...] = 0
        for got, want in zip([d for pair in states[1:] for d in pair], kept[2:]):
            assert_same_states(got, want)


@pytest.mark.parametrize("basis", ["cohort", "direct"])
def test_runs_of_different_spans_and_curves_match_the_chains(basis):
    # Runs one after another reuse tabulated curves: a short run, a long one
    # from high counters, a run with other curves, and the first again.
    base = Params(general={"rate_basis": basis, "max_age_weeks_vegetative": 500, "max_age_weeks_reproductive": 500})
    other = Params(general={"rate_basis": basis}, sucker_selection={"peak_weeks": 2.0, "spread": 0.5})
    high = farm_states(6, 7)
    high["weeks_since_sucker_threshold"] += 40
    high["weeks_since_flowering_threshold"] += 25
    rng = np.random.default_rng(8)
    for params, states, weeks in [(base, farm_states(4, 9), 3), (base, high, 60), (other, high, 20), (base, high, 60)]:
        inc = rng.uniform(20.0, 120.0, weeks)
        rep = np.zeros(weeks)
        columns, pre1, post1 = _farm.run(params, states, states, 11, inc, rep)
        pre, post = chains_from(params, states, states)
        assert_matches_loop(columns, chain_loop(pre, post, 11, inc, rep))
        assert_same_states(pre1, _farm.chain_states(pre))


def test_run_many_gives_its_memory_back():
    code = (
        "import numpy as np, os\n"
        "from py_narvo_pop import _farm\n"
        "from conftest import Params\n"
        "s = {k: np.arange(30, dtype=np.int64) * (k != 'birth_week_index') - np.arange(30) for k in _farm.STATE_KEYS}\n"
        "s['population'] = np.full(30, 100.0); s['thermal_age'] = np.linspace(0.0, 3000.0, 30)\n"
        "inc = np.random.default_rng(0).uniform(10.0, 90.0, (500, 100))\n"
        "def rss():\n"
        "    return int(open('/proc/self/statm').read().split()[1]) * os.sysconf('SC_PAGE_SIZE')\n"
        "for i in range(80):\n"
        "    values, states = _farm.run_many(Params(), s, s, 0, inc, np.zeros(100), threads=2)\n"
        "    del values, states\n"
        "    if i == 19: start = rss()\n"
        "print('growth', rss() - start)\n"
    )
    import os

    env = {**os.environ, "PYTHONPATH": os.pathsep.join([os.path.dirname(__file__), *sys.path])}
    r = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60, env=env)
    assert r.returncode == 0, r.stderr
    # Each call's results take about 5 MB; 60 more calls must not keep them
    # (the allocator may keep some MB of the worker thread's scratch).
    assert int(r.stdout.split()[-1]) < 40_000_000, r.stdout


@pytest.mark.parametrize("threads", [1, 3])
def test_run_many_of_no_scenarios(threads):
    s = {k: np.zeros(0) for k in _farm.STATE_KEYS}
    values, states = _farm.run_many([], [], [s] * 0, 0, np.zeros((0, 5)), np.zeros(5), threads=threads)
    assert values.shape == (0, 5, len(_farm.COLUMNS))
    assert states == []


def test_run_many_kept_columns_and_out_give_the_same_values():
    params = [Params(general={"rate_basis": "cohort"}), Params()]
    pres, posts = [farm_states(9, 11), farm_states(4, 12)], [farm_states(3, 13), farm_states(6, 14)]
    inc = np.random.default_rng(15).uniform(0.0, 140.0, (2, 30))
    rep = np.full(30, 25.0)
    full, states = _farm.run_many(params, pres, posts, 4, inc, rep, threads=2)
    keep = [7, 0, 4]
    for threads in (1, 2):
        picked, none = _farm.run_many(params, pres, posts, 4, inc, rep, threads=threads, columns=keep, eager_threads=True,
                                      final_states=False)
        assert none is None
        np.testing.assert_array_equal(picked, full[:, :, keep])
        out = np.full((2, 30, 3), -1.0)
        written, _ = _farm.run_many(params, pres, posts, 4, inc, rep, threads=threads, columns=keep, out=out,
                                     eager_threads=True)
        assert written is out
        np.testing.assert_array_equal(out, full[:, :, keep])


@pytest.mark.parametrize("change, match", [
    ({"columns": [0, 12]}, "not a column index"),
    ({"columns": [-1]}, "not a column index"),
    ({"out": np.zeros((2, 30, 11))}, "must have the shape"),
    ({"out": np.zeros((2, 30, 24))[:, :, ::2]}, "incompatible"),  # not contiguous: never a copy
    ({"out": np.zeros((2, 30, 12), dtype=np.float32)}, "incompatible"),
])
def test_run_many_refuses_columns_and_out_it_cannot_fill(change, match):
    s = farm_states(5, 16)
    with pytest.raises((ValueError, TypeError), match=match):
        _farm.run_many([Params(), Params()], s, s, 0, np.full(30, 50.0), np.zeros(30), **change)


def test_run_many_refuses_a_read_only_out():
    out = np.zeros((1, 30, 12))
    out.flags.writeable = False
    s = farm_states(5, 17)
    with pytest.raises(TypeError):
        _farm.run_many(Params(), s, s, 0, np.full((1, 30), 50.0), np.zeros(30), out=out)
    assert not out.any()


def test_seed_many_matches_seed_and_stops_at_the_first_failure(farm):
    params, weather, inventory, _ = farm
    lo = weather.min_week_index
    inc = np.array([weather.thermal_increment(w) for w in range(lo, EXAMPLE_START_WEEK + 1)])
    cols = (inventory["chain"].to_numpy(), inventory["population"].to_numpy(), inventory["age_weeks"].to_numpy())
    other = with_basis(params, "direct")
    items = [(p, *cols, EXAMPLE_START_WEEK, lo, inc) for p in (params, other, params)]
    for threads in (1, 2):
        states, failed = _farm.seed_many(items, threads=threads, eager_threads=True)
        assert failed == -1 and len(states) == 3
        for item, (pre, post) in zip(items, states):
            want = _farm.seed(*item)
            # Packed rows run as the columns do.
            rep = np.zeros(8)
            a = _farm.run(item[0], pre, post, EXAMPLE_START_WEEK, inc[:8], rep)
            b = _farm.run(item[0], want[0], want[1], EXAMPLE_START_WEEK, inc[:8], rep)
            for key in _farm.COLUMNS:
                np.testing.assert_array_equal(a[0][key], b[0][key])
            for x, y in zip(a[1:], b[1:]):
                assert_same_states(x, y)
    # The second item reaches back before its history: it is the one reported.
    short = (params, *cols, EXAMPLE_START_WEEK, lo + 500, inc[500:])
    states, failed = _farm.seed_many([items[0], short, short], threads=2, eager_threads=True)
    assert failed == 1 and len(states) == 1
    with pytest.raises(CohortChainError, match="reconstructing its thermal history"):
        _farm.seed(*short)


@pytest.mark.parametrize("item, error, match", [
    (lambda it: list(it), TypeError, "each item must be a tuple"),
    (lambda it: it[:3], TypeError, "each item must be a tuple"),
    (lambda it: (*it[:4], "x", *it[5:]), TypeError, "start_week and first_increment_week must be ints"),
    (lambda it: (*it[:5], 2**70, it[6]), TypeError, "start_week and first_increment_week must be ints"),
    (lambda it: (it[0], it[1], it[2][:2], *it[3:]), ValueError, "same length"),
    (lambda it: (*it[:3], it[3].astype(float) + 0.5, *it[4:]), TypeError, "ages must hold integers"),
])
def test_seed_many_refuses_malformed_items(item, error, match):
    base = (Params(), np.array(["pre_flowering"] * 3, dtype=object), np.array([1.0, 2.0, 3.0]),
            np.array([1, 2, 3]), 10, 0, np.full(20, 50.0))
    assert _farm.seed_many([base])[1] == -1
    with pytest.raises(error, match=match):
        _farm.seed_many([base, item(base)])
