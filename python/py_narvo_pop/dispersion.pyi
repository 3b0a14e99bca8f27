"""
Age-dispersion curves: how a cohort spreads flowering, sucker emergence and
harvest over the weeks after a thermal threshold.

Every function takes a whole-week count as the chain's threshold counters give
it: 0 while the cohort is below the threshold, 1 in its first week at or above
it, 2 in the next, and so on. Every curve is 0 at a count of 0 (and below), so
cohorts below a threshold stay in place.

Flowering and suckers follow a normal distribution over whole weeks since the
threshold up to its mode, discretised week by week: week n collects the normal
mass between n - 0.5 and n + 0.5 weeks, renormalised over the weeks n >= 1 so
that none is lost before the threshold. ``peak_weeks`` is the mode, ``spread``
the standard deviation of that normal in weeks (0 puts every plant into the
week nearest ``peak_weeks``, week 1 at the earliest). After the mode week (the
week nearest ``peak_weeks``, week 1 at the earliest) the weekly hazard stays at
its value in the mode week: the plants still to come leave geometrically. A
normal tail would make the hazard climb towards 1, so that plants observed
late (seeded from an inventory well past the peak) would nearly all go in one
week; with this tail a late plant goes at the peak's rate however late it is.
The mode week is the whole week nearest ``peak_weeks`` (a half week rounds to
the even one), so the curves step where ``peak_weeks`` crosses a half week, and
between a spread of 0 and any spread above it: a search over these parameters
sees steps, not a smooth surface.
``amplitude`` scales the curve:

- for suckers, the suckers a plant emits over the cohort's life;
- for flowering, the eventual fraction of the cohort that flowers (capped at 1;
  the rest never flowers and leaves the chain only by death or age). Below 1,
  the plants still waiting late in the tail are mostly those that never
  flower, so the hazard on them falls towards 0: a cohort seeded far past its
  peak flowers at the peak's rate only when amplitude is 1, and barely at all
  when it is a little below (0.99 gives no flowering to speak of 90 weeks on).

``_dispersion_profile`` builds a ``DispersionProfile`` for the cohort basis:
``share(n)`` is amplitude x the week's mass, per plant present;
``fraction_done(n)`` the fraction of the entering cohort flowered after n weeks
(0 for n <= 0, never decreasing, at most min(amplitude, 1)); ``hazard(n)`` the
fraction of the plants still waiting that flower in week n, so that
1 - prod(1 - hazard(k), k <= n) equals ``fraction_done(n)``.

``_dispersion_rate`` is the direct-rate basis: amplitude x the week's mass,
applied as it stands to the plants present (a per-plant sucker rate, or a
flowering hazard in [0, 1] when amplitude <= 1).

Harvest takes the whole cohort by ``hazard_weeks`` weeks after the harvest
threshold. Under the cohort basis the cohort, counted as it entered, is
harvested evenly over those weeks, so the weekly hazard on the plants still
there is 1 / (hazard_weeks - n + 1) until it reaches 1. Under the direct-rate
basis the weekly hazard is a constant 1 / hazard_weeks, and what is left is
harvested in the week the counter reaches hazard_weeks.

Parameters are refused with ValueError when they cannot describe a curve:
amplitude and spread must be finite and >= 0, peak_weeks finite, hazard_weeks
finite and > 0.
"""

import dataclasses
from typing import Any, ClassVar, NoReturn, Self


class DispersionProfile:
    """
    The flowering or sucker curve of one (amplitude, peak_weeks, spread), by whole
    weeks since the threshold. An immutable value: equal parameters, equal profiles.
    """

    def __init__(self, amplitude: float, peak_weeks: float, spread: float) -> None: ...

    def share(self, weeks: int) -> float:
        """
        Suckers emitted in week ``weeks`` per plant present (0 for weeks <= 0).
        """

    def hazard(self, weeks: int) -> float:
        """
        Fraction of the plants still in the chain that flower in week ``weeks``, in [0, 1].
        """

    def fraction_done(self, weeks: int) -> float:
        """
        Fraction of the entering cohort flowered after ``weeks`` weeks (0 for weeks <= 0).
        """

    @property
    def amplitude(self, /) -> float: ...

    @property
    def peak_weeks(self, /) -> float: ...

    @property
    def spread(self, /) -> float: ...

    def _values(self) -> tuple[Any, ...]:
        """The field values in declaration order."""

    def __eq__(self, other: object, /) -> bool: ...

    def __hash__(self) -> int: ...

    def __repr__(self) -> str: ...

    __match_args__ = ('amplitude', 'peak_weeks', 'spread')

    __slots__: tuple[str, ...] = ('amplitude', 'peak_weeks', 'spread')

    def __replace__(self, /, **changes: Any) -> Self: ...

    def __reduce__(self) -> tuple[Any, ...]: ...

    def __copy__(self) -> Self: ...

    def __setattr__(self, name: str, value: Any, /) -> NoReturn: ...

    def __delattr__(self, name: str, /) -> NoReturn: ...

    def __deepcopy__(self, memo: dict[int, Any], /) -> Self: ...

    __dataclass_fields__: ClassVar[dict[str, dataclasses.Field[Any]]] = ...

def _dispersion_profile(amplitude: float, peak_weeks: float, spread: float) -> DispersionProfile:
    """The cohort-basis profile of these curve parameters."""

def _dispersion_rate(weeks: int, amplitude: float, peak_weeks: float, spread: float) -> float:
    """Direct-rate basis: amplitude x the curve's share of week ``weeks``."""

def _harvest_hazard_cohort_basis(weeks: int, hazard_weeks: float) -> float:
    """
    Cohort basis: fraction of the plants still there harvested in week ``weeks``, the
    entering cohort being harvested evenly over ``hazard_weeks`` weeks.
    """

def _harvest_hazard(weeks: int, hazard_weeks: float) -> float:
    """
    Direct-rate basis: 1 / hazard_weeks a week, and everything left once ``weeks``
    reaches ``hazard_weeks``.
    """
