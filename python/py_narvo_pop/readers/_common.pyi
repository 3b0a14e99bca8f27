"""
What every file reader shares: loading a table file by its extension, cleaning
one text cell and checking that a table has the columns a reader needs.
"""

from collections.abc import Callable, Iterable
import os

import pandas


def _read_table(path: str | os.PathLike[str], *, text_columns: Iterable[str] = ()) -> pandas.DataFrame:
    """
    Load a table file (its first sheet for a workbook) as a data frame.

    The format follows the lower-cased extension: .csv through pandas.read_csv,
    .xlsx and .xls through pandas.read_excel. Columns named in text_columns keep
    their cells as text (codes such as 007 keep their zeros). Workbook XML is read
    with entity expansion and external references refused.

    Raises FileNotFoundError when nothing exists at path (checked first) and
    ValueError for any other extension; pandas errors pass through.
    """

def _clean_text(value: object) -> str | float:
    """
    One cell as a non-empty, NFC-composed, trimmed text, or NaN for no value.
    """

def _require_columns(df: pandas.DataFrame, required: Iterable[str], *, context: str, error_cls: Callable[[str], BaseException]) -> None:
    """
    Raise error_cls(message) when columns named in required are missing from df.

    The message is '<context> missing required column(s): [...]; found columns:
    [...]', the missing names in the order of required, the found ones in table order.
    """
