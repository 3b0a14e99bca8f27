"""Dispersion curves: invariants over many parameters, and the profile object."""

import copy
import dataclasses
import math
import pickle

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from py_narvo_pop.dispersion import (
    DispersionProfile,
    _dispersion_profile,
    _dispersion_rate,
    _harvest_hazard,
    _harvest_hazard_cohort_basis,
)

amplitudes = st.floats(0.0, 5.0)
peaks = st.floats(-30.0, 200.0)
spreads = st.one_of(st.just(0.0), st.floats(1e-3, 60.0), st.floats(1e-300, 1e-3))
weeks = st.integers(-3, 400)
hazard_weeks = st.one_of(st.integers(1, 60), st.floats(1e-3, 60.0))


@settings(max_examples=300)
@given(amplitudes, peaks, spreads)
def test_profile_invariants(amplitude, peak, spread):
    p = _dispersion_profile(amplitude, peak, spread)
    assert p.share(0) == p.hazard(0) == p.fraction_done(0) == p.fraction_done(-1) == 0.0
    done = [p.fraction_done(n) for n in range(-1, 300)]
    assert all(a <= b for a, b in zip(done, done[1:]))
    assert 0.0 <= done[-1] <= min(amplitude, 1.0)
    survivors = 1.0
    for n in range(1, 300):
        h = p.hazard(n)
        assert 0.0 <= h <= 1.0
        assert p.share(n) >= 0.0
        survivors *= 1.0 - h
        # The hazards compound to the cumulative fraction flowered.
        assert 1.0 - survivors == pytest.approx(p.fraction_done(n), abs=1e-9)


@settings(max_examples=200)
@given(amplitudes, st.floats(0.0, 80.0), st.floats(0.0, 15.0))
def test_curve_totals(amplitude, peak, spread):
    p = _dispersion_profile(amplitude, peak, spread)
    # After the mode the tail is geometric: at the widest spreads it needs a
    # few hundred weeks more than a normal tail to run out.
    horizon = 2000
    assert math.fsum(p.share(n) for n in range(1, horizon)) == pytest.approx(amplitude, rel=1e-9, abs=1e-12)
    assert p.fraction_done(horizon) == pytest.approx(min(amplitude, 1.0), abs=1e-12)


@settings(max_examples=200)
@given(st.floats(0.5, 5.0), st.floats(1.0, 80.0), st.floats(0.3, 15.0), st.integers(1, 300))
def test_hazard_climbs_to_the_mode_then_holds(amplitude, peak, spread, extra):
    # Late plants go at the peak's weekly hazard however late they are: the
    # hazard never falls before the mode and stays put after it.
    p = _dispersion_profile(amplitude, peak, spread)
    mode = max(1, round(peak))
    hazards = [p.hazard(n) for n in range(1, mode + 1)]
    assert all(a <= b + 1e-12 for a, b in zip(hazards, hazards[1:]))
    if amplitude >= 1.0:
        assert p.hazard(mode + extra) == pytest.approx(hazards[-1], rel=1e-9, abs=1e-15)
    else:
        # Plants that never flower dilute the hazard of the waiting ones.
        assert p.hazard(mode + extra) <= hazards[-1] + 1e-12


@given(amplitudes, peaks, spreads, weeks)
def test_direct_rate_matches_profile_share(amplitude, peak, spread, n):
    rate = _dispersion_rate(n, amplitude=amplitude, peak_weeks=peak, spread=spread)
    assert rate == _dispersion_profile(amplitude, peak, spread).share(n)
    assert rate >= 0.0 and (n > 0 or rate == 0.0)
    if amplitude <= 1.0:
        assert rate <= 1.0


@pytest.mark.parametrize("peak, spread, mode", [(6.0, 2.0, 6), (6.4, 0.0, 6), (2.5, 1e-9, 2),
                                                (-40.0, 1.0, 1), (0.0, 0.0, 1), (12.0, 5.0, 12)])
def test_mode_of_the_weekly_share(peak, spread, mode):
    p = _dispersion_profile(1.0, peak, spread)
    shares = [p.share(n) for n in range(0, 60)]
    assert shares.index(max(shares)) == mode


def test_point_mass_flowers_whole_cohort_in_one_week():
    p = _dispersion_profile(1.0, 3.0, 0.0)
    assert [p.hazard(n) for n in range(5)] == [0.0, 0.0, 0.0, 1.0, 1.0]
    q = _dispersion_profile(0.4, 3.0, 0.0)
    assert [q.fraction_done(n) for n in range(5)] == [0.0, 0.0, 0.0, 0.4, 0.4]
    assert q.hazard(3) == pytest.approx(0.4)


@given(weeks, hazard_weeks)
def test_harvest_hazards_take_the_cohort_by_hazard_weeks(n, hw):
    for fn in (_harvest_hazard_cohort_basis, _harvest_hazard):
        h = fn(n, hw)
        assert 0.0 <= h <= 1.0
        assert (n > 0) or h == 0.0
        if n >= math.ceil(hw):
            assert h == 1.0


@pytest.mark.parametrize("hw, expected", [(4, [0.0, 0.25, 1 / 3, 0.5, 1.0, 1.0]),
                                          (2.5, [0.0, 0.4, 1 / 1.5, 1.0, 1.0, 1.0])])
def test_cohort_basis_harvests_evenly(hw, expected):
    hazards = [_harvest_hazard_cohort_basis(n, hw) for n in range(6)]
    assert hazards == pytest.approx(expected)
    left = 1.0
    for h in hazards[1:]:
        taken = left * h
        assert taken == pytest.approx(min(1 / hw, left))
        left -= taken


def test_direct_harvest_hazard_is_constant_until_the_last_week():
    assert [_harvest_hazard(n, 4) for n in range(6)] == [0.0, 0.25, 0.25, 0.25, 1.0, 1.0]
    assert _harvest_hazard(1, 0.5) == 1.0


@pytest.mark.parametrize("args, message", [
    ((-0.1, 6.0, 2.0), "amplitude must be a finite number >= 0, got -0.1"),
    ((math.inf, 6.0, 2.0), "amplitude must be a finite number >= 0, got inf"),
    ((1.0, math.nan, 2.0), "peak_weeks must be a finite number, got nan"),
    ((1.0, 6.0, -2.0), "spread must be a finite number >= 0, got -2.0"),
])
def test_parameters_that_describe_no_curve(args, message):
    for call in (lambda: _dispersion_profile(*args),
                 lambda: _dispersion_rate(1, amplitude=args[0], peak_weeks=args[1], spread=args[2]),
                 lambda: DispersionProfile(*args)):
        with pytest.raises(ValueError) as err:
            call()
        assert str(err.value) == message


@pytest.mark.parametrize("hw", [0, -1.0, math.nan, math.inf])
def test_hazard_weeks_must_be_positive(hw):
    for fn in (_harvest_hazard_cohort_basis, _harvest_hazard):
        with pytest.raises(ValueError, match="^hazard_weeks must be a finite number of weeks > 0, got "):
            fn(1, hw)


def test_profile_is_an_immutable_value():
    p = _dispersion_profile(1, 6, 2.5)
    assert isinstance(p, DispersionProfile)
    assert repr(p) == "DispersionProfile(amplitude=1.0, peak_weeks=6.0, spread=2.5)"
    assert p == DispersionProfile(1.0, 6.0, 2.5) and hash(p) == hash(DispersionProfile(1.0, 6.0, 2.5))
    assert p != DispersionProfile(1.0, 6.0, 2.0)
    clone = pickle.loads(pickle.dumps(p))
    assert clone == p and [clone.hazard(n) for n in range(20)] == [p.hazard(n) for n in range(20)]
    assert copy.replace(p, spread=1.0) == DispersionProfile(1.0, 6.0, 1.0)
    with pytest.raises(dataclasses.FrozenInstanceError):
        p.spread = 3.0
