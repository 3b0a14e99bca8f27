"""The engine's weekly loop over its two chains."""

from collections.abc import Sequence

import py_narvo_pop.cohorts


def run_weeks(pre: py_narvo_pop.cohorts.CohortChain, post: py_narvo_pop.cohorts.CohortChain, first_week: int, increments: Sequence[float], replacements: Sequence[float]) -> tuple[dict[str, list], BaseException | None, bool]:
    """
    Step both chains through len(increments) weeks from first_week.

    Returns (columns, error, half_applied): the weekly columns of the engine's
    summary table (without the dates) for the weeks completed, the exception that
    stopped the loop (None when every week ran), and whether that exception struck
    after the failing week had begun to change the chains. Every week's
    rates are computed and checked before either chain changes, so an error in
    them (a dispersion curve that raises, a NaN count) leaves the week unapplied.
    """
