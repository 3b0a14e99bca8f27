"""The model calendar, weekly heat units and thermal time queries."""

import dataclasses
import datetime
import os
from typing import Any, ClassVar, NoReturn, Self

import pandas


class ColumnMap:
    """
    Names of the columns of a daily weather table: the day, the mean temperature
    and, when heat units are supplied directly, the heat units (which then take
    precedence over the mean temperature).
    """

    def __init__(self, date: str = 'date', tmean: str | None = 'tmean', heat_units: str | None = None) -> None: ...

    @property
    def date(self, /) -> str: ...

    @property
    def tmean(self, /) -> str | None: ...

    @property
    def heat_units(self, /) -> str | None: ...

    def _values(self) -> tuple[Any, ...]:
        """The field values in declaration order."""

    def __eq__(self, other: object, /) -> bool: ...

    def __hash__(self) -> int: ...

    def __repr__(self) -> str: ...

    __match_args__ = ('date', 'tmean', 'heat_units')

    __slots__: tuple[str, ...] = ('date', 'tmean', 'heat_units')

    def __replace__(self, /, **changes: Any) -> Self: ...

    def __reduce__(self) -> tuple[Any, ...]: ...

    def __copy__(self) -> Self: ...

    def __setattr__(self, name: str, value: Any, /) -> NoReturn: ...

    def __delattr__(self, name: str, /) -> NoReturn: ...

    def __deepcopy__(self, memo: dict[int, Any], /) -> Self: ...

    __dataclass_fields__: ClassVar[dict[str, dataclasses.Field[Any]]] = ...

class WeatherProvider:
    """
    The model calendar and the weekly heat-unit totals of a daily weather table.

    Week ``w`` begins ``w * week_length_days`` days after ``run_start_date``. Each
    day adds its heat units (the mean temperature above ``base_temperature_c``,
    never below 0.0, or the ``heat_units`` column itself) to its week; a missing
    value adds nothing but its week is still covered. A provider never changes
    once built.
    """

    def __init__(self, daily: pandas.DataFrame, columns: ColumnMap = ColumnMap(), *, base_temperature_c: float = 14.0, run_start_date: datetime.date | None = None, week_length_days: int = 7) -> None:
        """
        Sum the daily table's heat units per model week.

        ``run_start_date`` (the first day of week 0) defaults to the earliest date of
        the table.
        """

    @classmethod
    def from_params(cls, daily: pandas.DataFrame, params: Any, columns: ColumnMap = ColumnMap(), *, run_start_date: datetime.date | None = None) -> Self:
        """
        A provider whose base temperature and week length come from
        ``params.general`` (``base_temperature_c``, ``week_length_days``).
        """

    @classmethod
    def from_file(cls, path: str | os.PathLike[str], columns: ColumnMap = ColumnMap(), *, base_temperature_c: float = 14.0, week_length_days: int = 7, run_start_date: datetime.date | None = None) -> Self:
        """A provider built from a daily weather file (.csv, .xlsx or .xls)."""

    @classmethod
    def from_file_and_params(cls, path: str | os.PathLike[str], params: Any, columns: ColumnMap = ColumnMap(), *, run_start_date: datetime.date | None = None) -> Self:
        """
        ``from_file`` with base temperature and week length from ``params.general``.
        """

    @property
    def min_week_index(self) -> int:
        """The first week with weather data."""

    @property
    def max_week_index(self) -> int:
        """The last week with weather data."""

    @property
    def week_length_days(self) -> int:
        """Days per model week."""

    @property
    def run_start_date(self, /) -> datetime.date:
        """The first day of week 0."""

    @property
    def _base_temperature_c(self, /) -> float: ...

    @property
    def _week_length_days(self) -> int: ...

    @property
    def _run_start_date(self, /) -> datetime.date: ...

    @property
    def _weekly_heat_units(self, /) -> dict[int, float]:
        """
        Week index to heat-unit total, covered weeks only, ascending (a new dict).
        """

    @property
    def _first_week(self) -> int: ...

    @property
    def _last_week(self) -> int: ...

    def week_index_for_date(self, d: datetime.date) -> int:
        """The week that contains the date ``d`` (negative before the run start)."""

    def calendar_date_for_week(self, week_index: int) -> datetime.date:
        """The first day of week ``week_index``."""

    def _week_total(self, week_index: int) -> float:
        """
        The heat-unit total of a week with weather data; WeatherError otherwise.
        """

    def thermal_increment(self, week_index: int) -> float:
        """The heat units of week ``week_index``."""

    def thermal_sum_between(self, start_week_index: int, end_week_index: int) -> float:
        """
        The heat units of the weeks from start to end, both included, summed as the
        built-in sum() does (the integer 0 when start is after end).
        """

    def thermal_trajectory(self, start_week_index: int, end_week_index: int) -> list[float]:
        """
        The running heat-unit total after each week from start to end, both included.
        """

    def __reduce__(self) -> tuple[Any, ...]: ...

    def __setstate__(self, state: tuple[Any, ...], /) -> None: ...
