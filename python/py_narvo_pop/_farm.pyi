"""
The farm kernel: both chains of a farm stepped through a span of weeks in native
code, on cohort states held as columns of numpy arrays.
"""

from collections.abc import Iterable, Mapping, Sequence
from typing import Any

import numpy

import py_narvo_pop.cohorts


def params_fault(params: Any) -> str | None:
    """Why the kernel cannot run ``params`` (a text), or None when it can."""

def parous_suckers(populations: Sequence[float], suckers: Sequence[float], flowered: Sequence[float], flowered_plants: float) -> float:
    """
    The suckers of already-flowered plants over a chain's cohorts, as the kernel
    attributes them: per cohort its population at the start of the week, its
    suckers, the share flowered before the week; the farm's flowered plants bound
    what any one cohort stands for.
    """

COLUMNS: tuple[str, ...] = ...

STATE_KEYS: tuple[str, ...] = ...

def seed(params: Any, chains: Any, populations: Any, ages: Any, start_week: int, first_increment_week: int, increments: Any) -> tuple[dict[str, numpy.ndarray], dict[str, numpy.ndarray]]:
    """
    Seed both chains from inventory rows and return their (pre_flowering,
    post_flowering) states.

    ``chains`` holds each row's chain (0/1 codes, or kind texts; rows of another
    kind are skipped), ``ages`` whole weeks at ``start_week``. Each row is replayed
    through its thermal history with ``increments`` (weekly heat units from week
    ``first_increment_week``) as CohortChain.from_dataframe replays it, and fails
    with the same errors.
    """

def seed_many(items: Iterable[tuple[Any, Any, Any, Any, int, int, Any]], threads: int = 1, *, eager_threads: bool = False) -> tuple[list[tuple[bytes, bytes]], int]:
    """
    Seed many farms at once on up to ``threads`` threads with the GIL released (a call
    too small to gain from more runs on fewer; ``eager_threads`` starts them all anyway).
    Each item
    holds seed()'s arguments; inventories and histories
    are converted once per distinct object. Returns each item's (pre, post) states
    packed for run_many, up to the first item that failed, and that item's position
    (-1 when none failed; seed() on it raises its error).
    """

def run(params: Any, pre_states: Mapping[str, Any] | bytes, post_states: Mapping[str, Any] | bytes, first_week: int, increments: Any, replacements: Any) -> tuple[dict[str, numpy.ndarray], dict[str, numpy.ndarray], dict[str, numpy.ndarray]]:
    """
    Step both chains through len(increments) weeks from ``first_week`` in the
    engine's weekly order; returns (columns, pre_states, post_states). The input
    states are not changed. The loop runs with the GIL released. States are
    mappings of STATE_KEYS columns or rows packed by seed_many.
    """

def run_many(params: Any, pre_states: Any, post_states: Any, first_week: int, increments: Any, replacements: Any, threads: int = 1, columns: Sequence[int] | None = None, out: numpy.ndarray | None = None, final_states: bool = True, *, eager_threads: bool = False) -> tuple[numpy.ndarray, list[tuple[dict[str, numpy.ndarray], dict[str, numpy.ndarray]]] | None]:
    """
    Run many scenarios on up to ``threads`` threads with the GIL released (a call too
    small to gain from more runs on fewer; ``eager_threads`` starts them all anyway).

    ``params``, ``pre_states`` and ``post_states`` are one value for every scenario
    or a list with one per scenario; ``increments`` and ``replacements`` one row of
    weeks or a 2-D array with one row per scenario. Returns the columns as a float
    array [scenario, week, column] (column order COLUMNS) and each scenario's final
    (pre_states, post_states).

    ``columns`` keeps only those column indices, in that order; ``out``, a C-contiguous
    float64 array of shape (scenarios, weeks, columns), receives the values instead of
    a new array; ``final_states=False`` returns None in place of the final states.
    """

def chain_states(chain: py_narvo_pop.cohorts.CohortChain) -> dict[str, numpy.ndarray]:
    """
    The cohorts of ``chain`` as state columns (keys STATE_KEYS), in list order.
    """

def load_chain_states(chain: py_narvo_pop.cohorts.CohortChain, states: Mapping[str, Any]) -> None:
    """
    Replace the cohorts of ``chain`` with cohorts of its kind holding ``states``; a
    cohort already in the chain with the next row's birth week (in order) is kept and
    updated in place, so callers holding it see the new state.
    """
