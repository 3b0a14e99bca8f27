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

The weekly step runs in the package's native code, and so does the loop over
the weeks (``py_narvo_pop._engine.run_weeks``); this module keeps the engine's
state, seeding and pickling.
"""

from __future__ import annotations

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
    "suckers",
    "replacements",
    "pre_flowering_cohorts",
    "post_flowering_cohorts",
)


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
        self.params = params
        self.weather = weather
        self.schedule = schedule
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

    def replacement_suckers(self, week_index: int) -> float:
        if self.schedule is None:
            return 0.0
        return float(self.schedule.replacement_suckers_for_week(week_index))

    def step(self) -> dict[str, Any]:
        """Advance both chains by one model week and return that week's summary row."""
        return self.run(1).iloc[0].to_dict()

    def run(self, n_weeks: int) -> pd.DataFrame:
        """Step ``n_weeks`` weeks from the current week; one summary row per week.

        Every week's heat units are looked up before the first week is stepped,
        so a span beyond the weather data fails with the provider's
        ``WeatherError`` and leaves the engine as it was.
        """
        if not isinstance(n_weeks, int) or isinstance(n_weeks, bool) or n_weeks < 0:
            raise ValueError(f"n_weeks must be a non-negative int, got {n_weeks!r}")
        first = self.current_week_index
        weeks = range(first, first + n_weeks)
        increments = [float(self.weather.thermal_increment(w)) for w in weeks]
        replacements = [self.replacement_suckers(w) for w in weeks]
        dates = [self.weather.calendar_date_for_week(w) for w in weeks]
        columns = run_weeks(self.pre_flowering, self.post_flowering, first, increments, replacements)
        self.current_week_index = first + n_weeks
        table = pd.DataFrame({"date": dates, **columns}, columns=list(RESULT_COLUMNS))
        for column in ("week_index", "pre_flowering_cohorts", "post_flowering_cohorts"):
            table[column] = table[column].astype("int64")
        return table
