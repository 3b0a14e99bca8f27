"""
The farm-wide sucker-selection records: the reader Braxen, which validates a
selection file, and SuckerSelectionData, its totals per model week.
"""

import os
from typing import Any, Self

import pandas

import py_narvo_pop.notices
import py_narvo_pop.weather


_SELECTION_COLUMNS: tuple[str, ...] = ('date', 'parous_count', 'nulliparous_count')

class Braxen:
    """
    Reader of sucker-selection files (.csv, .xlsx, .xls): one row per recording date
    with the counts parous_count and nulliparous_count.
    """

    def __init__(self) -> None: ...

    def __reduce__(self) -> tuple[Any, ...]: ...

    @staticmethod
    def read(path: str | os.PathLike[str]) -> py_narvo_pop.notices.ReadResult[pandas.DataFrame]:
        """
        Load and validate a sucker-selection file.

        Returns the table (date, parous, nulliparous, total; same row labels and order
        as the file) with an empty notice log. A data fault raises SuckerSelectionError
        naming the file, the column and the rows; the first failing rule raises.
        """

class SuckerSelectionData:
    """
    Farm-wide totals of selected suckers per model week.

    Built from the table of Braxen.read and a weather provider (any object with
    week_index_for_date). When several dates fall in one week, the later row with a
    total wins. Read-only once built.

    How the records meet the model: the suckers selected in a week are the young
    plants that enter the pre-flowering chain that week (the engine's weekly
    ``suckers``). weekly_table() lists the totals per week, ready to set beside the
    engine's history by ``week_index``.
    """

    def __init__(self, data: pandas.DataFrame, weather: py_narvo_pop.weather.WeatherProvider) -> None:
        """
        Place every row of ``data`` in its model week.

        A row without a date raises SuckerSelectionError naming the rows.
        """

    @classmethod
    def from_file(cls, path: str | os.PathLike[str], weather: py_narvo_pop.weather.WeatherProvider) -> py_narvo_pop.notices.ReadResult[Self]:
        """
        Read ``path`` with Braxen.read and build the data from its table; the result
        carries the reader's (always empty) notice log.
        """

    def week_is_covered(self, week_index: int) -> bool:
        """
        Whether ``week_index`` lies between the earliest and the latest week of any
        record, both included.
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

    def total(self, week_index: int) -> float | None:
        """
        The total recorded for ``week_index``, or None when no row of that week has one.
        """

    def weekly_table(self, weather: py_narvo_pop.weather.WeatherProvider | None = None) -> pandas.DataFrame:
        """
        The totals, one row per model week with at least one record, in week order.

        Columns: ``week_index`` (int64); ``date``, the first day of the week as
        ``weather.calendar_date_for_week`` gives it (pass the provider that placed the
        records), NaT throughout when ``weather`` is None; ``total`` (float64), the
        week's total as total() gives it, NaN when none of the week's rows had one.
        """

    @property
    def _totals(self, /) -> dict[int, float]:
        """A new dict of the totals by week."""

    def __getstate__(self) -> tuple[Any, ...]: ...

    def __setstate__(self, state: tuple[Any, ...], /) -> None: ...

    def __reduce__(self) -> tuple[Any, ...]: ...

    def __repr__(self) -> str: ...
