"""The daily weather file reader."""

import os
from typing import Any

import pandas

import py_narvo_pop.notices
import py_narvo_pop.weather


class WeatherFileReader:
    """
    Reads a daily weather file (.csv, .xlsx or .xls) into a table of parsed dates
    and one value column. Every fault is a WeatherError; it raises no notices.
    """

    def __init__(self) -> None: ...

    def __reduce__(self) -> tuple[Any, ...]: ...

    @staticmethod
    def read(path: str | os.PathLike[str], columns: py_narvo_pop.weather.ColumnMap | None = None) -> py_narvo_pop.notices.ReadResult[pandas.DataFrame]:
        """
        Read the date column and the value column of a weather file.

        The value column is ``columns.heat_units`` when set, else ``columns.tmean``;
        ``columns`` None means ColumnMap(). Dates are parsed cell by cell (formats may
        be mixed; an empty cell gives a missing date). The result's data has exactly
        the columns "date" and "tmean" or "heat_units", every row of the file in
        file order; its notices are always empty.
        """
