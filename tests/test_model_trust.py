"""The model on ordinary and awkward inputs: no impossible numbers, smooth starts,
round trips, continuity, and both engine paths giving the same tables."""

from __future__ import annotations

import types

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from py_narvo_pop import cohorts, dispersion
from py_narvo_pop.cohorts import ChainKind
from py_narvo_pop.calibration import with_values
from py_narvo_pop.cli import main
from py_narvo_pop.engine import NarvoPopEngine
from py_narvo_pop.exceptions import CohortChainError
from py_narvo_pop.parameters import ParameterSet
from py_narvo_pop.toverin import Toverin

from test_cli import example

START = 104
GROUPS = ("general", "flowering", "sucker_selection", "harvest", "mortality_replacement")


@pytest.fixture(scope="module")
def farm(example_farm):
    return example_farm


def run(farm, inventory=None, params=None, weeks=52, start=START):
    p, weather, inv, schedule = farm
    engine = NarvoPopEngine(params or p, weather, inv if inventory is None else inventory, schedule,
                            start_week_index=start)
    return engine, engine.run(weeks)


def with_row(inventory, population, age):
    row = pd.DataFrame({"chain": ["pre_flowering"], "population": [population], "age_weeks": [age],
                        "tag": ["X"]})
    return pd.concat([inventory, row], ignore_index=True)


def as_inventory(engine):
    """Both chains' cohorts as an inventory at the engine's current week."""
    w = engine.current_week_index
    rows = [(chain.kind.value, c.population, w - c.birth_week_index)
            for chain in (engine.pre_flowering, engine.post_flowering) for c in chain]
    return pd.DataFrame(rows, columns=["chain", "population", "age_weeks"])


# ------------------------------------------------------ impossible numbers


def test_late_unflowered_plants_do_not_explode_the_suckers(farm):
    # 300 plants that have not flowered long after their cohort's peak: their
    # already-flowered siblings cannot be more than the farm's flowered plants.
    _, base = run(farm)
    suckers, harvests = [], []
    for age in range(43, 60):
        _, table = run(farm, with_row(farm[2], 300.0, age))
        suckers.append(table["suckers"].iloc[0])
        harvests.append(table["harvest"].sum())
    assert max(suckers) < 1.5 * base["suckers"].iloc[0]
    assert max(harvests) < 1.1 * base["harvest"].sum()
    # ... and the answer moves smoothly with the row's age.
    steps = np.abs(np.diff(harvests)) / np.mean(harvests)
    assert steps.max() < 0.01


def test_late_plants_flower_at_the_peak_rate_not_all_at_once(farm):
    params, weather, _, _ = farm
    late = pd.DataFrame({"chain": ["pre_flowering"], "population": [1000.0], "age_weeks": [45]})
    engine = NarvoPopEngine(params, weather, late, None, start_week_index=START)
    table = engine.run(6)
    g = params.flowering
    peak_hazard = dispersion._dispersion_profile(g["amplitude"], g["peak_weeks"], g["spread"]).hazard(
        max(1, round(g["peak_weeks"])))
    first = table["flowering"].iloc[0]
    assert first == pytest.approx(1000.0 * peak_hazard, rel=0.01)
    assert first < 0.5 * 1000.0


def test_the_example_farm_starts_smoothly(farm):
    _, table = run(farm, weeks=30)
    flowering, harvest = table["flowering"], table["harvest"]
    assert flowering.iloc[0] == pytest.approx(flowering.iloc[1:10].mean(), rel=0.25)
    # no echo of a first-week block ten weeks later
    assert harvest.iloc[8:16].max() < 1.3 * harvest.iloc[:30].median()


def test_command_line_late_row_and_pruned_line(farm, tmp_path, capsys):
    inv = with_row(farm[2], 300.0, 50)
    path = tmp_path / "inventory.csv"
    inv.to_csv(path, index=False)
    out = tmp_path / "run.csv"
    assert main(["simulate", "--weather", example("weather.csv"), "--inventory", str(path),
                 "--params", example("parameters.yaml"), "--schedule", example("schedule.yaml"),
                 "--start-week", str(START), "--weeks", "12", "--out", str(out)]) == 0
    printed = capsys.readouterr().out
    assert "pruned" in printed.splitlines()[-2] or "pruned" in printed
    table = pd.read_csv(out)
    _, base = run(farm, weeks=12)
    assert table["suckers"].iloc[0] < 1.5 * base["suckers"].iloc[0]


# ------------------------------------------------------------ round trips


@pytest.mark.parametrize("w", [5, 30, 77])
def test_seeding_from_the_engines_own_state_reproduces_its_run(farm, w):
    engine, _ = run(farm, weeks=w)
    again = NarvoPopEngine(farm[0], farm[1], as_inventory(engine), farm[3],
                           start_week_index=engine.current_week_index)
    ours, theirs = engine.run(52), again.run(52)
    pd.testing.assert_frame_equal(ours, theirs, check_exact=False, rtol=1e-9)


# ------------------------------------------------------------- continuity


@pytest.mark.parametrize(
    "name, low, high",
    [
        ("flowering.threshold_dd", 1700.0, 2200.0),
        ("flowering.spread", 1.0, 4.0),
        ("flowering.peak_weeks", 2.0, 8.0),
        ("sucker_selection.threshold_dd", 700.0, 1100.0),
        ("sucker_selection.amplitude", 0.6, 1.4),
        ("harvest.threshold_dd", 700.0, 1100.0),
        ("harvest.hazard_weeks", 3.0, 9.0),
        ("mortality_replacement.death_rate_vegetative", 0.0, 0.01),
    ],
)
def test_yearly_totals_move_smoothly_with_each_parameter(farm, name, low, high):
    values = np.linspace(low, high, 21)
    totals = []
    for v in values:
        _, table = run(farm, params=with_values(farm[0], {name: float(v)}))
        totals.append((table["harvest"].sum(), table["flowering"].sum(), table["suckers"].sum()))
    totals = np.array(totals)
    steps = np.abs(np.diff(totals, axis=0)) / totals.mean(axis=0)
    # No jumps: a 1/20 step of the range moves a yearly total by a few per cent
    # at most, or (for a total that is strongly driven by the parameter) by
    # not much more than the sweep's typical step. Thresholds move whole
    # cohorts by a week, hence a little unevenness, never a jump.
    bound = np.maximum(0.05, 3.0 * np.median(steps, axis=0))
    assert (steps <= bound).all(), (name, steps.max(axis=0))


# ------------------------------------------------------- the two paths


def duck(params):
    """The same parameters in an object of the caller's own: the engine's Python loop."""
    return types.SimpleNamespace(**{g: dict(getattr(params, g)) for g in GROUPS})


def test_engine_chooses_its_path(farm):
    engine, _ = run(farm, weeks=0)
    assert engine.uses_kernel()
    assert not NarvoPopEngine(duck(farm[0]), farm[1], farm[2], farm[3], start_week_index=START).uses_kernel()


@settings(max_examples=25, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(
    basis=st.sampled_from(["cohort", "direct"]),
    threshold=st.floats(1500.0, 2400.0),
    spread=st.floats(0.3, 5.0),
    hazard_weeks=st.floats(1.0, 10.0),
    extra=st.lists(st.tuples(st.floats(0.0, 2000.0), st.integers(43, 59)), max_size=3,
                   unique_by=lambda r: r[1]),
    replaced=st.booleans(),
)
def test_kernel_and_python_paths_give_identical_tables(farm, basis, threshold, spread, hazard_weeks,
                                                       extra, replaced, monkeypatch):
    params = with_values(farm[0], {"flowering.threshold_dd": threshold, "flowering.spread": spread,
                                   "harvest.hazard_weeks": hazard_weeks})
    groups = params.to_dict()
    groups["general"]["rate_basis"] = basis
    params = ParameterSet.from_dict(groups)
    inventory = farm[2]
    for population, age in extra:
        inventory = with_row(inventory, population, age)
    fast = NarvoPopEngine(params, farm[1], inventory, farm[3], start_week_index=START)
    assert fast.uses_kernel()
    expected = fast.run(40)
    if replaced:
        # A caller's own curve that computes what the package's does.
        original = dispersion._dispersion_profile
        with monkeypatch.context() as m:
            m.setattr(cohorts, "_dispersion_profile", lambda a, p, s: original(a, p, s))
            slow = NarvoPopEngine(params, farm[1], inventory, farm[3], start_week_index=START)
            assert not slow.uses_kernel()
            got = slow.run(40)
    else:
        slow = NarvoPopEngine(duck(params), farm[1], inventory, farm[3], start_week_index=START)
        got = slow.run(40)
    pd.testing.assert_frame_equal(got, expected, check_exact=True)
    for a, b in ((fast.pre_flowering, slow.pre_flowering), (fast.post_flowering, slow.post_flowering)):
        assert [c._values()[1:] for c in a] == [c._values()[1:] for c in b]


def test_kernel_run_keeps_the_cohort_objects(farm):
    engine, _ = run(farm, weeks=0)
    held = list(engine.pre_flowering)
    engine.run(3)
    live = list(engine.pre_flowering)
    assert held[-1] is live[len(held) - 1]
    assert held[-1].thermal_age > 0


def test_packed_states_round_trip_and_refuse_bad_sizes(farm):
    engine, _ = run(farm, weeks=0)
    chain = engine.pre_flowering
    held = list(chain)
    packed = chain._state_bytes()
    chain._load_state_bytes(packed)
    assert list(chain) == held and all(a is b for a, b in zip(chain, held))
    with pytest.raises(ValueError, match="wrong size"):
        chain._load_state_bytes(packed[:-1])
    assert list(chain) == held


def states_of(engine):
    return [[c._values()[1:] for c in chain] for chain in (engine.pre_flowering, engine.post_flowering)]


@pytest.mark.parametrize(
    "change",
    [
        lambda inv: inv,
        lambda inv: inv.assign(population=inv["population"].astype("int64")),
        lambda inv: inv.assign(chain=[ChainKind(c) for c in inv["chain"]]),
        lambda inv: inv.iloc[::-1],
        lambda inv: inv.iloc[:0],
    ],
    ids=["example", "whole-plant counts", "ChainKind members", "reversed rows", "empty"],
)
def test_engine_seeds_natively_as_from_dataframe_does(farm, change):
    params, weather, inventory, schedule = farm
    inv = change(inventory)
    native = NarvoPopEngine(params, weather, inv, schedule, start_week_index=START)
    described = NarvoPopEngine(duck(params), weather, inv, schedule, start_week_index=START)
    assert states_of(native) == states_of(described)
    assert type(native.pre_flowering) is type(described.pre_flowering)


@pytest.mark.parametrize(
    "change, start, match",
    [
        (lambda inv: inv.assign(population=[float("nan")] + list(inv["population"][1:])), START, "population nan"),
        (lambda inv: pd.concat([inv, inv.iloc[:1]], ignore_index=True), START, "duplicate cohort"),
        (lambda inv: inv, 10, "start_week_index"),
        (lambda inv: inv.assign(age_weeks=inv["age_weeks"] > 5), START, "boolean age"),
        # A row in no chain would start the run without its plants.
        (lambda inv: pd.concat([inv, pd.DataFrame({"chain": ["Post_Flowering", None], "population": [5.0, 1.0],
                                                   "age_weeks": [3, 4]})], ignore_index=True),
         START, r"invalid chain value\(s\) \[(nan|None), 'Post_Flowering'\]; expected exactly one of"),
    ],
)
def test_seeding_errors_are_the_described_ones_on_both_paths(farm, change, start, match):
    params, weather, inventory, schedule = farm
    inv = change(inventory)
    errors = []
    for p in (params, duck(params)):
        with pytest.raises(CohortChainError, match=match) as e:
            NarvoPopEngine(p, weather, inv, schedule, start_week_index=start)
        errors.append(str(e.value))
    assert errors[0] == errors[1]


@pytest.mark.parametrize(
    "change, error, match",
    [
        (lambda inv, sch: (inv.assign(chain=["pre_flowering"] * (len(inv) - 1) + ["post flowering"]), sch),
         CohortChainError, r"invalid chain value\(s\) \['post flowering'\]"),
        (lambda inv, sch: (inv.assign(chain=pd.array([None] + list(inv["chain"][1:]), dtype="string")), sch),
         CohortChainError, r"invalid chain value\(s\) \[<NA>\]"),
        (lambda inv, sch: (inv, Toverin({START + 3: -500.0})), ValueError, "replacement suckers for week"),
        (lambda inv, sch: (inv, Toverin({START + 3: float("nan")})), ValueError, "replacement suckers for week"),
    ],
    ids=["a row in no chain", "NA in a text column", "negative replacements", "NaN replacements"],
)
def test_every_entry_point_refuses_what_the_engine_refuses(farm, change, error, match):
    # The engine, the calibration farm and the ensemble each convert the
    # inputs their own way; none may run on plants the engine would refuse.
    from py_narvo_pop.calibration import Farm
    from py_narvo_pop.ensemble import Scenario, run_ensemble

    params, weather, inventory, schedule = farm
    inv, sch = change(inventory, schedule)
    attempts = [
        lambda: NarvoPopEngine(params, weather, inv, sch, start_week_index=START).run(8),
        lambda: Farm(weather, inv, sch, start_week_index=START, n_weeks=8).simulate(params),
        lambda: run_ensemble([Scenario(params, weather, inv, sch, START, 8)], progress=False),
    ]
    for attempt in attempts:
        with pytest.raises(error, match=match):
            attempt()


@pytest.mark.parametrize("values, schedule_of", [
    ({"sucker_selection.amplitude": 1e300}, lambda schedule: schedule),
    # Ordinary rates on a planting no float can hold: the totals overflow to
    # inf, not NaN; both paths must stop rather than go on with inf and NaN.
    ({"sucker_selection.threshold_dd": 0.0, "sucker_selection.amplitude": 3.0,
      "sucker_selection.peak_weeks": 1.0, "sucker_selection.spread": 0.0}, lambda _: Toverin({START + 3: 1e308})),
])
def test_a_run_the_rates_break_fails_with_the_engines_error_everywhere(farm, values, schedule_of):
    # Suckers beyond any float: every entry point must say what the engine's
    # own loop says (which week, which rate), the kernel path included.
    from py_narvo_pop.calibration import Farm
    from py_narvo_pop.ensemble import Scenario, run_ensemble

    params, weather, inventory, schedule = farm
    schedule = schedule_of(schedule)
    p = with_values(params, values)
    with pytest.raises(ValueError, match=r"^week \d+: the rates give inf suckers") as engine:
        NarvoPopEngine(p, weather, inventory, schedule, start_week_index=START).run(30)
    stepped = NarvoPopEngine(p, weather, inventory, schedule, start_week_index=START)
    with pytest.raises(ValueError) as by_step:
        for _ in range(30):
            stepped.step()
    assert str(by_step.value) == str(engine.value)
    with pytest.raises(ValueError) as calibration:
        Farm(weather, inventory, schedule, start_week_index=START, n_weeks=30).simulate(p)
    scenarios = [Scenario(params, weather, inventory, schedule, START, 30)] * 3 + \
        [Scenario(p, weather, inventory, schedule, START, 30)]
    with pytest.raises(ValueError) as ensemble:
        run_ensemble(scenarios, progress=False)
    assert str(calibration.value) == str(ensemble.value) == str(engine.value)
    assert ensemble.value.__notes__[-1] == "in scenario 3"


@pytest.mark.parametrize("change, error, match", [
    (lambda inv: inv.assign(age_weeks=[-5] + list(inv["age_weeks"][1:])), CohortChainError,
     r"negative age_weeks at row\(s\) \[0\]; expected weeks of age >= 0"),
    (lambda inv: inv.assign(population=[-500.0] + list(inv["population"][1:])), CohortChainError,
     r"negative population at row\(s\) \[0\]; expected plants >= 0"),
])
def test_inventory_values_the_reader_refuses_are_refused_everywhere(farm, change, error, match):
    # A group born after the start week, or of fewer than no plants.
    from py_narvo_pop.calibration import Farm
    from py_narvo_pop.ensemble import Scenario, run_ensemble

    params, weather, inventory, schedule = farm
    inv = change(inventory)
    for attempt in (lambda: NarvoPopEngine(params, weather, inv, schedule, start_week_index=START),
                    lambda: Farm(weather, inv, schedule, start_week_index=START, n_weeks=4),
                    lambda: run_ensemble([Scenario(params, weather, inv, schedule, START, 4)], progress=False)):
        with pytest.raises(error, match=match):
            attempt()


@pytest.mark.parametrize("key", ["110", 110.5, True])
def test_schedule_keys_that_no_week_finds_are_refused(farm, key):
    params, weather, inventory, _ = farm
    with pytest.raises(ValueError, match=f"replacement schedule key {key!r} is not a week index"):
        NarvoPopEngine(params, weather, inventory, Toverin({key: 10.0}), start_week_index=START)


def test_whole_numbers_of_any_integer_type_and_a_history_callers_cannot_alter(farm):
    from py_narvo_pop.calibration import Farm

    params, weather, inventory, schedule = farm
    engine = NarvoPopEngine(params, weather, inventory, schedule, start_week_index=np.int64(START))
    table = engine.run(np.int64(6))
    held = engine.history
    held["harvest"] = -1.0
    assert engine.history.equals(table)
    with pytest.raises(TypeError, match="start_week_index must be an int, got 104.7"):
        Farm(weather, inventory, schedule, start_week_index=104.7, n_weeks=4)
    with pytest.raises(ValueError, match="n_weeks must be at least 1"):
        Farm(weather, inventory, schedule, start_week_index=START, n_weeks=-5)


@pytest.mark.parametrize("arguments, match", [
    ({"params": None}, "params must be a ParameterSet.*NoneType has no general"),
    ({"weather": None}, "weather must be a WeatherProvider, got NoneType"),
    ({"inventory": [("pre_flowering", 5.0, 3)]}, "inventory must be a pandas DataFrame"),
])
def test_arguments_of_the_wrong_kind_are_named(farm, arguments, match):
    params, weather, inventory, schedule = farm
    given = {"params": params, "weather": weather, "inventory": inventory, **arguments}
    with pytest.raises(TypeError, match=match):
        NarvoPopEngine(given["params"], given["weather"], given["inventory"], schedule, start_week_index=START)


def test_parameters_as_a_mapping_run_as_their_set(farm):
    params, weather, inventory, schedule = farm
    as_set = NarvoPopEngine(params, weather, inventory, schedule, start_week_index=START).run(8)
    as_mapping = NarvoPopEngine(params.to_dict(), weather, inventory, schedule, start_week_index=START).run(8)
    assert as_set.equals(as_mapping)
