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

The weekly step itself runs in the package's native code; this loop makes a
fixed handful of calls per week whatever the number of cohorts.
"""

from __future__ import annotations

from typing import Any

import pandas as pd

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
        return self._step(self.weather.thermal_increment(self.current_week_index))

    def _step(self, increment: float) -> dict[str, Any]:
        w = self.current_week_index
        pre, post = self.pre_flowering, self.post_flowering
        pre_rates = pre.calc_rates(increment)
        post_rates = post.calc_rates(increment)
        pre.integrate(pre_rates, w)
        post.integrate(post_rates, w)

        flowering = pre_rates.sum_chain_exit
        suckers = pre_rates.sum_sucker + pre_rates.sum_sucker_parous + post_rates.sum_sucker
        replacements = self.replacement_suckers(w)
        post.add_new_cohort(flowering, w)
        pre.add_new_cohort(suckers + replacements, w)
        self.current_week_index = w + 1
        return {
            "date": self.weather.calendar_date_for_week(w),
            "week_index": w,
            "heat_units": increment,
            "pre_flowering": pre.total_population(),
            "post_flowering": post.total_population(),
            "flowering": flowering,
            "harvest": post_rates.sum_chain_exit,
            "deaths": pre_rates.sum_death + post_rates.sum_death,
            "suckers": suckers,
            "replacements": replacements,
            "pre_flowering_cohorts": len(pre),
            "post_flowering_cohorts": len(post),
        }

    def run(self, n_weeks: int) -> pd.DataFrame:
        """Step ``n_weeks`` weeks from the current week; one summary row per week.

        Every week's heat units are looked up before the first week is stepped,
        so a span beyond the weather data fails with the provider's
        ``WeatherError`` and leaves the engine as it was.
        """
        if not isinstance(n_weeks, int) or isinstance(n_weeks, bool) or n_weeks < 0:
            raise ValueError(f"n_weeks must be a non-negative int, got {n_weeks!r}")
        first = self.current_week_index
        increments = [self.weather.thermal_increment(w) for w in range(first, first + n_weeks)]
        rows = [self._step(increment) for increment in increments]
        table = pd.DataFrame(rows, columns=list(RESULT_COLUMNS))
        table["week_index"] = table["week_index"].astype("int64")
        for column in ("pre_flowering_cohorts", "post_flowering_cohorts"):
            table[column] = table[column].astype("int64")
        return table
