"""A small simulation engine that runs a farm week by week.

The engine owns a run: it seeds the pre-flowering and post-flowering chains from
an inventory table, then steps both chains through the model weeks with the
weather provider's weekly heat units. Each week ``w``:

1. both chains compute their rates with the week's thermal increment;
2. both chains apply them (ageing, exits, deaths) and prune;
3. the plants that flowered in the pre-flowering chain enter the post-flowering
   chain as a new cohort born in week ``w``;
4. the week's suckers become a new pre-flowering cohort born in week ``w``: the
   suckers produced by both chains (under the "cohort" rate basis this includes
   the suckers attributed to plants that have already flowered, and the
   post-flowering chain produces none) plus the replacement suckers that the
   management schedule plans for the week.

New cohorts are added only after both chains have integrated, because a rates
record is keyed by the positions of the cohorts it was computed for. A cohort
born in week ``w`` is first stepped in week ``w + 1``, as seeded cohorts are.

The weekly table
----------------
Every week gives one row with the columns of ``RESULT_COLUMNS``: the week's
first calendar ``date``, ``week_index``, ``heat_units`` (degree-days of the
week), the plants in each chain at the end of the week (``pre_flowering``,
``post_flowering``), the plants that moved or left during the week
(``flowering``, ``harvest``, ``deaths``, ``pruned``), the plants that entered
(``suckers``, ``replacements``) and the cohort counts of both chains.

``pruned`` counts the plants in the cohorts that the pruning step dropped
(cohorts below ``population_epsilon`` or past their chain's age limit), summed
over both chains. Those plants leave the model without being harvested or
counted as deaths, so the table balances week by week::

    pre_flowering + post_flowering
        == (last week's pre_flowering + post_flowering)
           - harvest - deaths - pruned + suckers + replacements

(``flowering`` moves plants from one chain to the other and cancels out). The
identity holds to rounding whenever the weekly hazards lie in [0, 1], which the
package's dispersion curves guarantee; a caller's own curve returning a hazard
above 1 makes a cohort lose more plants than it holds, and the surplus appears
in the post-flowering chain.

State after a failure
---------------------
The engine keeps its week counter, its chains and its ``history`` in step. A
run checks up front what it can (the weather covers every week, the schedule's
amounts are finite and non-negative, the pruning parameters can be read) and
changes nothing when one of those checks fails. A failure while stepping (a
replaced dispersion curve that raises in the third week, say) keeps the weeks
already applied: ``current_week_index`` advances by their count, their rows are
appended to ``history``, and the error is raised again. Running on repeats
nothing, so a run interrupted and resumed gives the same table as one that
never failed.

Each week's rates are computed and checked before either chain changes, so a
failing week is normally not applied at all. Should an error strike after a
week began to change the chains (a caller's own chain whose ``integrate``
raises), the engine cannot be put back together: it records the week and every
later ``run`` or ``step`` raises ``EngineStateError``.

The weekly step runs in the package's native code, and so does the loop over
the weeks (``py_narvo_pop._engine.run_weeks``); this module keeps the engine's
state, seeding, history and pickling.
"""

from __future__ import annotations

import math
from collections.abc import Mapping
from typing import Any

import pandas as pd

from py_narvo_pop._engine import run_weeks
from py_narvo_pop.cohorts import ChainKind, CohortChain

RESULT_COLUMNS = (
    "date",
    "week_index",
    "heat_units",
    "pre_flowering",
    "post_flowering",
    "flowering",
    "harvest",
    "deaths",
    "pruned",
    "suckers",
    "replacements",
    "pre_flowering_cohorts",
    "post_flowering_cohorts",
)

_INT_COLUMNS = ("week_index", "pre_flowering_cohorts", "post_flowering_cohorts")

# The keys the pruning step reads at the end of every week; checked before a
# run so that a missing one cannot stop a week half-way.
_PRUNING_KEYS = ("max_age_weeks_vegetative", "max_age_weeks_reproductive", "population_epsilon")


class EngineStateError(RuntimeError):
    """The engine stopped half-way through a week and cannot run on."""


def _check_amount(week_index: Any, amount: Any) -> float:
    value = float(amount)
    if not math.isfinite(value) or value < 0.0:
        raise ValueError(
            f"replacement suckers for week {week_index} are {value!r}; "
            "expected a finite non-negative number of plants"
        )
    return value


def check_schedule(schedule: Any) -> None:
    """Refuse a schedule whose table holds a negative or non-finite amount (ValueError).

    The schedule keeps whatever its file holds; the engine will not plant NaN
    or negative suckers. A schedule without a ``replacement_schedule`` mapping
    is checked week by week as the engine runs instead.
    """
    amounts = getattr(schedule, "replacement_schedule", None)
    if isinstance(amounts, Mapping):
        for week, amount in amounts.items():
            _check_amount(week, amount)


def _table(chunks: list[dict[str, list[Any]]]) -> pd.DataFrame:
    """The weekly table of the given column chunks, in order, with fixed dtypes."""
    if len(chunks) == 1:
        data = chunks[0]
    else:
        data = {name: [v for chunk in chunks for v in chunk[name]] for name in RESULT_COLUMNS}
    table = pd.DataFrame(data, columns=list(RESULT_COLUMNS))
    for name in RESULT_COLUMNS[2:]:
        if name in _INT_COLUMNS:
            if table[name].dtype != "int64":
                table[name] = table[name].astype("int64")
        elif table[name].dtype != "float64":
            table[name] = table[name].astype("float64")
    return table


class NarvoPopEngine:
    """Run the two chains of a farm from its inventory, weather and schedule.

    Parameters
    ----------
    params:
        The model's parameter set (``ParameterSet`` or any object whose five
        groups are mappings).
    weather:
        The ``WeatherProvider`` that fixes the calendar and gives weekly heat units.
    inventory:
        The population inventory table (as ``PopulationInventoryReader.read``
        returns it): columns ``chain``, ``population`` and ``age_weeks``.
    schedule:
        Optional ``Toverin`` management schedule of replacement suckers per week.
    start_week_index:
        The first model week to simulate; inventory ages are counted at this week.

    Attributes
    ----------
    current_week_index:
        The next week to be stepped: ``start_week_index`` plus the weeks run so far.
    history:
        A DataFrame of every week run so far (by ``run`` and ``step``), one row per
        week with the columns of ``RESULT_COLUMNS``.

    Seeding replays each inventory group's thermal history from the weather, so
    the weather data must reach back to the birth of the oldest group; otherwise
    the seeding error says how far ``start_week_index`` must be raised.
    """

    def __init__(
        self,
        params: Any,
        weather: Any,
        inventory: pd.DataFrame,
        schedule: Any = None,
        *,
        start_week_index: int,
    ) -> None:
        if not isinstance(start_week_index, int) or isinstance(start_week_index, bool):
            raise TypeError(f"start_week_index must be an int, got {start_week_index!r}")
        if "chain" not in inventory.columns:
            raise KeyError("inventory table has no 'chain' column")
        if schedule is not None:
            check_schedule(schedule)
        self.params = params
        self.weather = weather
        self.schedule = schedule
        self._chunks: list[dict[str, list[Any]]] = []
        self._history: pd.DataFrame | None = None
        self._broken_week: int | None = None
        self.start_week_index = start_week_index
        self.current_week_index = start_week_index
        chains = {}
        for kind in ChainKind:
            rows = inventory[inventory["chain"] == kind.value]
            chains[kind] = CohortChain.from_dataframe(rows, kind, start_week_index, weather, params)
        self.pre_flowering: CohortChain = chains[ChainKind.PRE_FLOWERING]
        self.post_flowering: CohortChain = chains[ChainKind.POST_FLOWERING]

    def __repr__(self) -> str:
        return (
            f"{type(self).__name__}(week_index={self.current_week_index}, "
            f"pre_flowering={self.pre_flowering.total_population():.1f} plants in "
            f"{len(self.pre_flowering)} cohorts, "
            f"post_flowering={self.post_flowering.total_population():.1f} plants in "
            f"{len(self.post_flowering)} cohorts)"
        )

    @property
    def history(self) -> pd.DataFrame:
        """Every week run so far, one row per week (a new DataFrame on each change)."""
        if self._history is None:
            self._history = _table(self._chunks) if self._chunks else _table([_empty_chunk()])
        return self._history

    def replacement_suckers(self, week_index: int) -> float:
        """The schedule's replacement suckers for ``week_index`` (0.0 without a schedule)."""
        if self.schedule is None:
            return 0.0
        return _check_amount(week_index, self.schedule.replacement_suckers_for_week(week_index))

    def step(self) -> dict[str, Any]:
        """Advance both chains by one model week and return that week's row as a dict."""
        chunk = self._advance(1)
        return {name: values[0] for name, values in chunk.items()}

    def run(self, n_weeks: int) -> pd.DataFrame:
        """Step ``n_weeks`` weeks from the current week; one summary row per week.

        Every week's heat units, date and replacement suckers are looked up
        before the first week is stepped, so a span beyond the weather data
        fails with the provider's ``WeatherError`` (and a bad schedule amount
        with ``ValueError``) and leaves the engine as it was. An error while
        stepping keeps the weeks completed before it (see the module notes).
        """
        if not isinstance(n_weeks, int) or isinstance(n_weeks, bool) or n_weeks < 0:
            raise ValueError(f"n_weeks must be a non-negative int, got {n_weeks!r}")
        return _table([self._advance(n_weeks)])

    def _advance(self, n_weeks: int) -> dict[str, list[Any]]:
        if self._broken_week is not None:
            raise EngineStateError(
                f"week {self._broken_week} failed after it had begun to change the chains; "
                "this engine cannot run on (build a new one, or unpickle a copy saved earlier)"
            )
        first = self.current_week_index
        weeks = range(first, first + n_weeks)
        increments = [float(self.weather.thermal_increment(w)) for w in weeks]
        replacements = [self.replacement_suckers(w) for w in weeks]
        dates = [self.weather.calendar_date_for_week(w) for w in weeks]
        if n_weeks:
            general = self.params.general
            for key in _PRUNING_KEYS:
                general[key]
        columns, error, half_applied = run_weeks(
            self.pre_flowering, self.post_flowering, first, increments, replacements
        )
        done = len(columns["week_index"])
        chunk = {"date": dates[:done], **columns}
        if done:
            self.current_week_index = first + done
            self._chunks.append(chunk)
            self._history = None
        if error is not None:
            failed = first + done
            if half_applied:
                self._broken_week = failed
                error.add_note(f"week {failed} was left half-applied; the engine cannot run on")
            else:
                kept = f" (weeks {first}..{failed - 1} before it were)" if done else ""
                error.add_note(f"week {failed} was not applied{kept}")
            raise error
        return chunk


def _empty_chunk() -> dict[str, list[Any]]:
    return {name: [] for name in RESULT_COLUMNS}
