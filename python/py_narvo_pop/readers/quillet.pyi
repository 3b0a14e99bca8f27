"""
The farm's ribbon-tagged production records: the reader Quillet, which validates
a production file, and RibbonProductionData, its view by ribbon tag and model week.
"""

import dataclasses
import os
from typing import Any, ClassVar, NoReturn, Self

import pandas

import py_narvo_pop.notices
import py_narvo_pop.weather


_REQUIRED_COLUMNS: tuple[str, ...] = ('tag', 'date', 'bagged', 'cut', 'age_at_cut')

_OPTIONAL_COLUMNS: tuple[str, ...] = ('field_losses', 'rejected', 'processed')

_NUMERIC_COLUMNS: tuple[str, ...] = ...

class Quillet:
    """
    Reader of ribbon production files (.csv, .xlsx, .xls): one row per ribbon tag and
    recording date with the quantities bagged, cut, age_at_cut and, optionally,
    field_losses, rejected and processed.
    """

    def __init__(self) -> None: ...

    def __reduce__(self) -> tuple[Any, ...]: ...

    @staticmethod
    def read(path: str | os.PathLike[str]) -> py_narvo_pop.notices.ReadResult[pandas.DataFrame]:
        """
        Load and validate a production file.

        Returns the table (tag, date, bagged, cut, age_at_cut, field_losses, rejected,
        processed; same row labels and order as the file) with a FEATURE_DISABLED notice
        for each optional column the file lacks. A data fault raises RibbonDataError
        naming the file, the column and the rows; the first failing rule raises.
        """

class ProductionObservation:
    """
    What one ribbon tag recorded in one model week: six quantities, each a float or
    None where nothing was recorded (never NaN).
    """

    def __init__(self, bagged: float | None, cut: float | None, age_at_cut: float | None, field_losses: float | None, rejected: float | None, processed: float | None) -> None: ...

    @property
    def bagged(self, /) -> float | None: ...

    @property
    def cut(self, /) -> float | None: ...

    @property
    def age_at_cut(self, /) -> float | None: ...

    @property
    def field_losses(self, /) -> float | None: ...

    @property
    def rejected(self, /) -> float | None: ...

    @property
    def processed(self, /) -> float | None: ...

    def _values(self) -> tuple[Any, ...]:
        """The field values in declaration order."""

    def __eq__(self, other: object, /) -> bool: ...

    def __hash__(self) -> int: ...

    def __repr__(self) -> str: ...

    __match_args__ = ('bagged', 'cut', 'age_at_cut', 'field_losses', 'rejected', 'processed')

    __slots__: tuple[str, ...] = ...

    def __replace__(self, /, **changes: Any) -> Self: ...

    def __reduce__(self) -> tuple[Any, ...]: ...

    def __copy__(self) -> Self: ...

    def __setattr__(self, name: str, value: Any, /) -> NoReturn: ...

    def __delattr__(self, name: str, /) -> NoReturn: ...

    def __deepcopy__(self, memo: dict[int, Any], /) -> Self: ...

    __dataclass_fields__: ClassVar[dict[str, dataclasses.Field[Any]]] = ...

def _optional_float(value: object) -> float | None:
    """None when pandas counts ``value`` missing, else ``float(value)``."""

class RibbonProductionData:
    """
    Production records by ribbon tag and model week.

    Built from the table of Quillet.read and a weather provider (any object with
    week_index_for_date). When one tag has several rows in a week, the later row in
    the table wins. Read-only once built.

    How the records meet the model: a bunch is bagged just after its plant has
    flowered, so ``bagged`` observes the plants moving from the pre-flowering to the
    post-flowering chain (the engine's weekly ``flowering``); a bunch is cut when its
    plant is harvested, so ``cut`` observes the plants leaving the post-flowering
    chain at harvest (``harvest``), and ``age_at_cut`` is the age of the bunches
    cut. weekly_table() gives the farm's sums per week, ready to set beside the
    engine's history by ``week_index``.
    """

    def __init__(self, data: pandas.DataFrame, weather: py_narvo_pop.weather.WeatherProvider) -> None:
        """
        Place every row of ``data`` in its model week.

        A row without a tag or without a date raises RibbonDataError naming the rows.
        """

    @classmethod
    def from_file(cls, path: str | os.PathLike[str], weather: py_narvo_pop.weather.WeatherProvider) -> py_narvo_pop.notices.ReadResult[Self]:
        """
        Read ``path`` with Quillet.read and build the data from its table; the result
        carries the reader's notices.
        """

    def tags(self) -> tuple[str, ...]:
        """The distinct ribbon tags, in ascending order."""

    def week_is_covered(self, week_index: int) -> bool:
        """
        Whether ``week_index`` lies between the earliest and the latest week of any
        record, both included (whatever the tag).
        """

    @property
    def first_week(self, /) -> int | None:
        """
        The earliest model week of any record, or None when there are no records.
        """

    @property
    def last_week(self, /) -> int | None:
        """
        The latest model week of any record, or None when there are no records.
        """

    @property
    def _first_week(self, /) -> int | None: ...

    @property
    def _last_week(self, /) -> int | None: ...

    def observation(self, tag: str, week_index: int) -> ProductionObservation | None:
        """What ``tag`` recorded in ``week_index``, or None when nothing was."""

    def weekly_table(self, weather: py_narvo_pop.weather.WeatherProvider | None = None) -> pandas.DataFrame:
        """
        The records summed over tags, one row per model week with at least one record,
        in week order.

        Columns: ``week_index`` (int64); ``date``, the first day of the week as
        ``weather.calendar_date_for_week`` gives it (pass the provider that placed the
        records), NaT throughout when ``weather`` is None; ``bagged``, ``cut``,
        ``field_losses``, ``rejected`` and ``processed`` (float64), each the sum over the
        week's tags of the values they recorded (a tag without a value is left out; NaN
        when no tag recorded the quantity); ``age_at_cut`` (float64), the mean over the
        tags with a value (NaN when none); ``tags`` (int64), the number of tags with an
        observation that week. Tags are added in ascending order. Each tag contributes
        its one observation of the week: the later row, when it had two.

        Against a model run, ``bagged`` compares with ``flowering`` and ``cut`` with
        ``harvest`` of the engine's weekly table (see the class notes).
        """

    @property
    def _tags(self, /) -> tuple[str, ...]: ...

    @property
    def _observations(self, /) -> dict[tuple[str, int], ProductionObservation]:
        """A new dict of every observation by (tag, week)."""

    def __getstate__(self) -> tuple[Any, ...]: ...

    def __setstate__(self, state: tuple[Any, ...], /) -> None: ...

    def __reduce__(self) -> tuple[Any, ...]: ...

    def __repr__(self) -> str: ...
