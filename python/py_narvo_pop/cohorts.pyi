"""
Cohorts of plants and the two chains they live in (before and after flowering),
with the weekly step that ages cohorts, moves plants out of a chain and prunes it.

The weekly step uses the module's dispersion functions (``_dispersion_profile``,
``_dispersion_rate``, ``_harvest_hazard_cohort_basis``, ``_harvest_hazard``,
imported from py_narvo_pop.dispersion). They are looked up at every step: a caller
may replace them with its own, and while they are the package's own the step
computes them natively.
"""

from collections.abc import Iterator, Mapping
import dataclasses
import enum
from typing import Any, ClassVar, NoReturn, Self

import pandas

from py_narvo_pop.dispersion import (
    _dispersion_profile as _dispersion_profile,
    _dispersion_rate as _dispersion_rate,
    _harvest_hazard as _harvest_hazard,
    _harvest_hazard_cohort_basis as _harvest_hazard_cohort_basis
)


class ChainKind(str, enum.Enum):
    """
    The two chains of the population: plants before flowering (vegetative) and
    plants after flowering awaiting harvest (reproductive).
    """

    PRE_FLOWERING = 'pre_flowering'
    """
    The two chains of the population: plants before flowering (vegetative) and
    plants after flowering awaiting harvest (reproductive).
    """

    POST_FLOWERING = 'post_flowering'
    """
    The two chains of the population: plants before flowering (vegetative) and
    plants after flowering awaiting harvest (reproductive).
    """

_COHORT_COLUMNS: tuple[str, ...] = ...

class Cohort:
    """
    All plants that entered a chain in the same model week.

    A mutable record: the chain updates these fields in place, so a caller holding
    a cohort sees every later change.
    """

    def __init__(self, chain: ChainKind, birth_week_index: int, population: float, thermal_age: float = 0.0, weeks_since_flowering_threshold: int = 0, weeks_since_sucker_threshold: int = 0, weeks_since_harvest_threshold: int = 0) -> None: ...

    @property
    def chain(self, /) -> ChainKind: ...

    @chain.setter
    def chain(self, value: ChainKind, /) -> None: ...

    @property
    def birth_week_index(self, /) -> int: ...

    @birth_week_index.setter
    def birth_week_index(self, value: int, /) -> None: ...

    @property
    def population(self, /) -> float: ...

    @population.setter
    def population(self, value: float, /) -> None: ...

    @property
    def thermal_age(self, /) -> float: ...

    @thermal_age.setter
    def thermal_age(self, value: float, /) -> None: ...

    @property
    def weeks_since_flowering_threshold(self, /) -> int: ...

    @weeks_since_flowering_threshold.setter
    def weeks_since_flowering_threshold(self, value: int, /) -> None: ...

    @property
    def weeks_since_sucker_threshold(self, /) -> int: ...

    @weeks_since_sucker_threshold.setter
    def weeks_since_sucker_threshold(self, value: int, /) -> None: ...

    @property
    def weeks_since_harvest_threshold(self, /) -> int: ...

    @weeks_since_harvest_threshold.setter
    def weeks_since_harvest_threshold(self, value: int, /) -> None: ...

    def age_weeks(self, current_week_index: int) -> int:
        """
        Weeks from the cohort's birth week to ``current_week_index`` (negative before birth).
        """

    def _values(self) -> tuple[Any, ...]:
        """The field values in declaration order."""

    def __eq__(self, other: object, /) -> bool: ...

    __hash__: ClassVar[None]  # type: ignore[assignment]

    def __repr__(self) -> str: ...

    __match_args__ = ('chain', 'birth_week_index', 'population', 'thermal_age', 'weeks_since_flowering_threshold', 'weeks_since_sucker_threshold', 'weeks_since_harvest_threshold')

    __slots__: tuple[str, ...] = ...

    def __replace__(self, /, **changes: Any) -> Self: ...

    def __reduce__(self) -> tuple[Any, ...]: ...

    def __copy__(self) -> Self: ...

    def __deepcopy__(self, memo: dict[int, Any], /) -> Self: ...

    __dataclass_fields__: ClassVar[dict[str, dataclasses.Field[Any]]] = ...

class CohortColumnMap:
    """Names of the population and age columns of a seed table."""

    def __init__(self, chain: str = 'chain', population: str = 'population', age_weeks: str = 'age_weeks') -> None: ...

    @property
    def chain(self, /) -> str: ...

    @property
    def population(self, /) -> str: ...

    @property
    def age_weeks(self, /) -> str: ...

    def _values(self) -> tuple[Any, ...]:
        """The field values in declaration order."""

    def __eq__(self, other: object, /) -> bool: ...

    def __hash__(self) -> int: ...

    def __repr__(self) -> str: ...

    __match_args__ = ('chain', 'population', 'age_weeks')

    __slots__: tuple[str, ...] = ('chain', 'population', 'age_weeks')

    def __replace__(self, /, **changes: Any) -> Self: ...

    def __reduce__(self) -> tuple[Any, ...]: ...

    def __copy__(self) -> Self: ...

    def __setattr__(self, name: str, value: Any, /) -> NoReturn: ...

    def __delattr__(self, name: str, /) -> NoReturn: ...

    def __deepcopy__(self, memo: dict[int, Any], /) -> Self: ...

    __dataclass_fields__: ClassVar[dict[str, dataclasses.Field[Any]]] = ...

class _RatesMap:
    """
    One column of a week's rates by cohort position: a read-only mapping over the
    numbers the weekly step computed.
    """

    def __len__(self) -> int: ...

    def __getitem__(self, key: int, /) -> Any: ...

    def __iter__(self) -> Iterator[int]: ...

    def __contains__(self, key: object, /) -> bool: ...

    def get(self, key: int, default: Any = None, /) -> Any: ...

    def __repr__(self) -> str: ...

    def __reduce__(self) -> tuple[Any, ...]: ...

    __hash__: ClassVar[None]  # type: ignore[assignment]

class _ChainRates:
    """
    One week's rates of a chain, by cohort position in the chain's list as it stood
    when they were computed: new thermal ages and counters (flowering, sucker,
    harvest), plants leaving the chain, deaths and suckers, and their sums.
    """

    def __init__(self, next_thermal_age: Mapping[int, float], next_counters: Mapping[int, tuple[int, int, int]], chain_exit: Mapping[int, float], death: Mapping[int, float], sucker: Mapping[int, float], sum_chain_exit: float, sum_sucker: float, sum_death: float, sum_sucker_parous: float = 0.0) -> None: ...

    @property
    def next_thermal_age(self, /) -> Mapping[int, float]: ...

    @property
    def next_counters(self, /) -> Mapping[int, tuple[int, int, int]]: ...

    @property
    def chain_exit(self, /) -> Mapping[int, float]: ...

    @property
    def death(self, /) -> Mapping[int, float]: ...

    @property
    def sucker(self, /) -> Mapping[int, float]: ...

    @property
    def sum_chain_exit(self, /) -> float: ...

    @property
    def sum_sucker(self, /) -> float: ...

    @property
    def sum_death(self, /) -> float: ...

    @property
    def sum_sucker_parous(self, /) -> float: ...

    def _values(self) -> tuple[Any, ...]:
        """The field values in declaration order."""

    def __eq__(self, other: object, /) -> bool: ...

    def __hash__(self) -> int: ...

    def __repr__(self) -> str: ...

    __match_args__ = ('next_thermal_age', 'next_counters', 'chain_exit', 'death', 'sucker', 'sum_chain_exit', 'sum_sucker', 'sum_death', 'sum_sucker_parous')

    __slots__: tuple[str, ...] = ...

    def __replace__(self, /, **changes: Any) -> Self: ...

    def __reduce__(self) -> tuple[Any, ...]: ...

    def __copy__(self) -> Self: ...

    def __setattr__(self, name: str, value: Any, /) -> NoReturn: ...

    def __delattr__(self, name: str, /) -> NoReturn: ...

    def __deepcopy__(self, memo: dict[int, Any], /) -> Self: ...

    __dataclass_fields__: ClassVar[dict[str, dataclasses.Field[Any]]] = ...

class CohortChain:
    """
    An ordered list of cohorts of one ChainKind, advanced week by week.

    The chain holds its parameter set by reference and never changes it; any object
    whose groups (general, flowering, sucker_selection, harvest, mortality_replacement)
    are mappings serves as the parameter set. Parameters are read at every use.
    """

    def __init__(self, kind: ChainKind, params: Any) -> None: ...

    @property
    def kind(self, /) -> ChainKind: ...

    @property
    def _params(self, /) -> Any: ...

    @property
    def _cohorts(self, /) -> list[Cohort]:
        """
        The chain's cohorts in insertion order (a new list holding the live cohorts).
        """

    def _state_bytes(self) -> bytes:
        """The cohorts' states, packed (the farm kernel's exchange format)."""

    def _load_state_bytes(self, packed: bytes, /) -> None:
        """
        Put packed states into the chain (see _state_bytes); a cohort already here with
        the next row's birth week is updated in place and kept.
        """

    def add_new_cohort(self, population: float, birth_week_index: int) -> Cohort | None:
        """
        Append a new cohort of ``population`` plants born in ``birth_week_index`` and return it.

        A population of 0.0 or less adds nothing and returns None; NaN raises ValueError.
        """

    def __len__(self) -> int: ...

    def __iter__(self) -> Iterator[Cohort]: ...

    def total_population(self) -> float:
        """Sum of the cohorts' populations, in list order (0 for an empty chain)."""

    def calc_rates(self, weekly_thermal_increment: float) -> _ChainRates:
        """
        This week's rates of every cohort, changing nothing.

        Each cohort ages by ``weekly_thermal_increment`` degree-days and its threshold
        counters advance; then its exits (flowering or harvest), deaths and suckers follow
        from the dispersion curves and the death rate. A NaN or infinite increment raises
        ValueError.
        """

    def integrate(self, rates: _ChainRates, current_week_index: int) -> list[Cohort]:
        """
        Apply this week's ``rates`` to every cohort, then prune; returns the cohorts pruned.

        The record is read and checked in full first: one that does not match the chain
        (a missing position, a counters entry that is not a triple) raises and leaves the
        chain unchanged, as does a parameter the pruning step cannot read.
        """

    def _prune_cohorts(self, current_week_index: int) -> list[Cohort]:
        """
        Remove cohorts below population_epsilon or older than the chain's age limit;
        returns them in their former order.
        """

    def apply_exogenous_removal(self, amount: float, current_week_index: int) -> float:
        """
        Remove ``amount`` plants (at most all of them) spread over the cohorts in
        proportion to their populations, then prune; returns the plants removed.

        A request of 0.0 or less, or an empty chain, removes nothing and returns 0.0;
        NaN raises ValueError.
        """

    def as_dataframe(self) -> pandas.DataFrame:
        """
        The chain's cohorts as a table, one row per cohort in list order, with the
        columns of _COHORT_COLUMNS.
        """

    def __reduce__(self) -> tuple[Any, ...]: ...

    def __setstate__(self, state: object | None) -> None: ...

    @classmethod
    def from_dataframe(cls, rows: pandas.DataFrame, kind: ChainKind, current_week_index: int, weather: Any, params: Any, columns: CohortColumnMap = CohortColumnMap()) -> Self:
        """
        A chain of ``kind`` seeded from a table: one cohort per row, in table order.

        Each row's ``columns.population`` cell gives the cohort's plants (a negative
        count seeds an empty cohort) and its ``columns.age_weeks`` cell, cut to a whole
        number, its age at ``current_week_index``. The cohort's thermal age and
        threshold counters are replayed from ``weather.thermal_increment`` for every
        week from its birth to the week before ``current_week_index``. Two rows of the
        same age, or a row older than the weather data reaches back, raise
        CohortChainError.
        """

    def __repr__(self) -> str: ...

def _replay_cohort_history(chain: ChainKind, birth_week_index: int, population: float, target_week_index: int, weather: Any, params: Any) -> Cohort:
    """
    A new cohort born in ``birth_week_index`` whose thermal state has been advanced
    through every week from the one after its birth to ``target_week_index``, with
    the weather's weekly increments; its population is taken as given.
    """

def _advance_thermal_state(chain: ChainKind, thermal_age: float, wf: int, ws: int, wh: int, increment: float, params: Any) -> tuple[float, int, int, int]:
    """
    One week of a cohort's thermal state: (thermal age, wf, ws, wh) after adding
    ``increment`` degree-days. Each counter the chain keeps is 0 below its threshold
    and counts the weeks at or above it.
    """
