"""
Cohorts of plants and the two chains they live in (before and after flowering),
with the weekly step that ages cohorts, moves plants out of a chain and prunes it.
"""

from collections.abc import Iterator
import enum
from typing import Any, NoReturn, Self


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
    def birth_week_index(self) -> int: ...

    @birth_week_index.setter
    def birth_week_index(self, arg: int, /) -> None: ...

    @property
    def population(self) -> float: ...

    @population.setter
    def population(self, arg: float, /) -> None: ...

    @property
    def thermal_age(self) -> float: ...

    @thermal_age.setter
    def thermal_age(self, arg: float, /) -> None: ...

    @property
    def weeks_since_flowering_threshold(self) -> int: ...

    @weeks_since_flowering_threshold.setter
    def weeks_since_flowering_threshold(self, arg: int, /) -> None: ...

    @property
    def weeks_since_sucker_threshold(self) -> int: ...

    @weeks_since_sucker_threshold.setter
    def weeks_since_sucker_threshold(self, arg: int, /) -> None: ...

    @property
    def weeks_since_harvest_threshold(self) -> int: ...

    @weeks_since_harvest_threshold.setter
    def weeks_since_harvest_threshold(self, arg: int, /) -> None: ...

    def age_weeks(self, current_week_index: int) -> int:
        """
        Weeks from the cohort's birth week to ``current_week_index`` (negative before birth).
        """

    def _values(self) -> tuple:
        """The field values in declaration order."""

    def __eq__(self, other: object, /) -> bool: ...

    __hash__: None = None

    def __repr__(self) -> str: ...

    __match_args__: tuple = ...

    __slots__: tuple = ...

    def __replace__(self, /, **changes: Any) -> Self: ...

    def __reduce__(self) -> tuple: ...

    def __copy__(self) -> object: ...

class CohortColumnMap:
    """Names of the population and age columns of a seed table."""

    def __init__(self, chain: str = 'chain', population: str = 'population', age_weeks: str = 'age_weeks') -> None: ...

    @property
    def chain(self, /) -> str: ...

    @property
    def population(self, /) -> str: ...

    @property
    def age_weeks(self, /) -> str: ...

    def _values(self) -> tuple:
        """The field values in declaration order."""

    def __eq__(self, other: object, /) -> bool: ...

    def __hash__(self) -> int: ...

    def __repr__(self) -> str: ...

    __match_args__: tuple = ('chain', 'population', 'age_weeks')

    __slots__: tuple = ('chain', 'population', 'age_weeks')

    def __replace__(self, /, **changes: Any) -> Self: ...

    def __reduce__(self) -> tuple: ...

    def __copy__(self) -> object: ...

    def __setattr__(self, name: str, value: Any, /) -> NoReturn: ...

    def __delattr__(self, name: str, /) -> NoReturn: ...

    def __deepcopy__(self, arg: object, /) -> object: ...

class CohortChain:
    """
    An ordered list of cohorts of one ChainKind, advanced week by week.

    The chain holds its parameter set by reference and never changes it; any object
    whose groups (general, flowering, sucker_selection, harvest, mortality_replacement)
    are mappings serves as the parameter set.
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

    def add_new_cohort(self, population: float, birth_week_index: int) -> Cohort | None:
        """
        Append a new cohort of ``population`` plants born in ``birth_week_index`` and return it.

        A population of 0.0 or less adds nothing and returns None; NaN raises ValueError.
        """

    def __len__(self) -> int: ...

    def __iter__(self) -> Iterator[Cohort]: ...

    def total_population(self) -> float:
        """Sum of the cohorts' populations, in list order (0 for an empty chain)."""

    def __repr__(self) -> str: ...
