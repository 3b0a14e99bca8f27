"""
The population inventory reader: plant groups by chain and age in weeks, the
seed table from which the chains are built at the start of a run.
"""

import os
from typing import Any

import pandas

import py_narvo_pop.notices


_REQUIRED_COLUMNS: tuple[str, ...] = ('chain', 'population', 'age_weeks')

_TEXT_COLUMNS: tuple[str, ...] = ('tag',)

_VALID_CHAINS: frozenset[str] = ...

class PopulationInventoryReader:
    """
    Reads a population inventory file (.csv, .xlsx or .xls).

    Required columns: chain (a ChainKind value, spelled exactly), population (a
    non-negative number) and age_weeks (a non-negative whole number); an optional tag
    column is read as text. Other columns are dropped; rows keep their file order.
    """

    def __init__(self) -> None: ...

    def __reduce__(self) -> tuple[Any, ...]: ...

    @staticmethod
    def read(path: str | os.PathLike[str]) -> py_narvo_pop.notices.ReadResult[pandas.DataFrame]:
        """
        Read and check the inventory at ``path``.

        Returns a ReadResult whose data has the columns chain, population (float64),
        age_weeks (int64) and, when the file has one, tag (cleaned text or NaN), and
        whose notice log is empty. A data fault raises CohortChainError naming the file;
        a missing file raises FileNotFoundError, an unknown extension ValueError.
        """
