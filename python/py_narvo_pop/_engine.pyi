"""The engine's weekly loop over its two chains."""

from collections.abc import Sequence

import py_narvo_pop.cohorts


def run_weeks(pre: py_narvo_pop.cohorts.CohortChain, post: py_narvo_pop.cohorts.CohortChain, first_week: int, increments: Sequence[float], replacements: Sequence[float]) -> dict[str, list]:
    """
    Step both chains through len(increments) weeks from first_week and return the
    weekly columns of the engine's summary table (without the dates).
    """
