"""Write the example farm's field files into examples/data/ (fixed seed).

The farm is a lowland tropical site: daily mean temperatures around 26 °C with a
gentle seasonal swing and a wetter, cooler spell mid-year; a field grown by the
model itself from young blocks to its census at the start week (so a run
seeded from it starts smoothly); weekly ribbon tags on the bunches and a weekly
sucker-selection count over a year and a half from the start week, generated
by the model with slightly different parameters (``TRUE_VALUES``) plus counting
noise; and a replacement planting programme after the cool season.

It needs the package installed (it runs the model).

    python examples/make_data.py [OUTPUT_DIR]
"""

from __future__ import annotations

import sys
from pathlib import Path
from typing import TYPE_CHECKING, TypeAlias

import numpy as np
import pandas as pd

if TYPE_CHECKING:
    from py_narvo_pop.parameters import ParameterSet
    from py_narvo_pop.weather import WeatherProvider

SEED = 20240611
FIRST_DAY = pd.Timestamp("2021-01-04")  # a Monday: week 0 of the example runs
YEARS = 13  # long enough for 520-week runs from the start week
START_WEEK = 104  # first simulated week: 2023-01-02
RECORD_WEEKS = 78  # production and selection records from the start week on
TRUE_VALUES = {"flowering.threshold_dd": 1900.0, "flowering.spread": 2.6, "harvest.threshold_dd": 950.0}

# One recorded week: (week index, plants flowered, plants cut by birth week,
# suckers of unflowered plants, suckers of flowered plants).
Week: TypeAlias = "tuple[int, float, dict[int, float], float, float]"


def weather(rng: np.random.Generator) -> pd.DataFrame:
    days = pd.date_range(FIRST_DAY, periods=365 * YEARS + 1, freq="D")
    doy = days.day_of_year.to_numpy()
    seasonal = 1.6 * np.cos(2 * np.pi * (doy - 80) / 365.25)
    cool_spell = -1.1 * np.exp(-(((doy - 200) / 35.0) ** 2))
    # Day-to-day weather is persistent: an AR(1) anomaly rather than white noise.
    anomaly = np.zeros(len(days))
    shocks = rng.normal(0.0, 0.55, len(days))
    for i in range(1, len(days)):
        anomaly[i] = 0.7 * anomaly[i - 1] + shocks[i]
    tmean = np.round(26.0 + seasonal + cool_spell + anomaly, 1)
    rain = np.round(rng.gamma(0.6, 9.0, len(days)) * (rng.random(len(days)) < 0.55), 1)
    table = pd.DataFrame({"date": days.strftime("%Y-%m-%d"), "tmean": tmean, "rain_mm": rain})
    # Whole weeks only: a last week of fewer days would sum to a short, cold-looking week.
    return table.iloc[: len(table) - len(table) % 7]


def _params() -> ParameterSet:
    from py_narvo_pop.parameters import ParameterSet
    import yaml

    return ParameterSet.from_dict(yaml.safe_load(PARAMETERS))


def _true_params() -> ParameterSet:
    """The farm as it really behaves: what the field records are generated from.

    It flowers a little earlier and more spread out, and bunches take a little
    longer to reach cutting, than the example's parameter file says, so that
    ``narvo-pop calibrate`` has something to find."""
    from py_narvo_pop.calibration import with_values

    return with_values(_params(), TRUE_VALUES)


def _provider(table: pd.DataFrame, params: ParameterSet) -> WeatherProvider:
    from py_narvo_pop.weather import WeatherProvider

    daily = table.assign(date=pd.to_datetime(table["date"]))
    return WeatherProvider.from_params(daily, params)


def inventory(rng: np.random.Generator, weather_table: pd.DataFrame) -> pd.DataFrame:
    """The farm's census at the start week, grown by the model itself.

    A field of young blocks planted every two weeks is run from week 20 to the
    start week; the state of both chains there, in whole plants, is the
    inventory. An inventory of the model's own making starts a run smoothly:
    seeding from it reproduces the run that made it.
    """
    from py_narvo_pop.engine import NarvoPopEngine

    params = _params()
    weather = _provider(weather_table, params)
    spin_start = 20
    planted = pd.DataFrame({
        "chain": "pre_flowering",
        "population": [round(float(rng.normal(640, 60))) for _ in range(10)],
        "age_weeks": list(range(1, 20, 2)),
    })
    engine = NarvoPopEngine(params, weather, planted, None, start_week_index=spin_start)
    engine.run(START_WEEK - spin_start)
    rows = []
    for chain, prefix in ((engine.pre_flowering, "B"), (engine.post_flowering, "F")):
        for cohort in chain:
            plants = round(cohort.population)
            if plants >= 1:
                age = START_WEEK - cohort.birth_week_index
                rows.append((chain.kind.value, float(plants), age, f"{prefix}{cohort.birth_week_index:03d}"))
    return pd.DataFrame(rows, columns=["chain", "population", "age_weeks", "tag"])


def _observed_run(weather_table: pd.DataFrame, inventory_table: pd.DataFrame
                  ) -> tuple[WeatherProvider, list[Week]]:
    """Per week, what the farm's recorders see: bunches bagged, bunches cut by
    the week they were bagged, and suckers kept (parous and not)."""
    from py_narvo_pop.engine import _flowered_shares, _python_apply, _python_rates, parous_suckers
    from py_narvo_pop.engine import NarvoPopEngine

    import yaml

    from py_narvo_pop.toverin import Toverin

    params = _true_params()
    weather = _provider(weather_table, params)
    schedule = Toverin(yaml.safe_load(SCHEDULE)["replacement_schedule"])
    engine = NarvoPopEngine(params, weather, inventory_table, schedule, start_week_index=START_WEEK)
    pre, post = engine.pre_flowering, engine.post_flowering
    weeks = []
    for w in range(START_WEEK, START_WEEK + RECORD_WEEKS):
        born = [c.birth_week_index for c in post]
        flowered_plants = float(post.total_population())
        populations = [c.population for c in pre]
        a, b, row = _python_rates(pre, post, w, float(weather.thermal_increment(w)),
                                  engine.replacement_suckers(w))
        shares = _flowered_shares(pre, a)
        assert shares is not None, "the example farm's rates are per cohort"
        own = [float(a.sucker[i]) for i in range(len(populations))]
        parous = parous_suckers(populations, own, shares, flowered_plants)
        cut = {birth: float(b.chain_exit[i]) for i, birth in enumerate(born)}
        _python_apply(pre, post, a, b, row)
        weeks.append((w, row["flowering"], cut, row["suckers"] - parous, parous))
    return weather, weeks


def production(rng: np.random.Generator, weather: WeatherProvider, weeks: list[Week]) -> pd.DataFrame:
    # One ribbon per bagging week; each ribbon is recorded at the weekly
    # harvest rounds while its bunches are being cut.
    rows = []
    for w, bagged, cut, _, _ in weeks:
        date = weather.calendar_date_for_week(w) + pd.Timedelta(days=int(rng.integers(0, 3)))
        tag = f"R{w:03d}"
        rows.append({"tag": tag, "date": date, "bagged": int(rng.poisson(bagged)), "cut": 0,
                     "age_at_cut": np.nan, "field_losses": 0, "rejected": 0, "processed": 0})
        for birth, plants in cut.items():
            if plants < 0.5:
                continue
            n = int(rng.poisson(plants))
            rejected = int(rng.binomial(n, 0.04))
            rows.append({"tag": f"R{birth:03d}", "date": date, "bagged": 0, "cut": n,
                         "age_at_cut": w - birth, "field_losses": int(rng.binomial(n, 0.004)),
                         "rejected": rejected, "processed": n - rejected})
    table = pd.DataFrame(rows)
    table["date"] = pd.to_datetime(table["date"]).dt.strftime("%Y-%m-%d")
    return table.sort_values(["date", "tag"], kind="stable").reset_index(drop=True)


def selection(rng: np.random.Generator, weather: WeatherProvider, weeks: list[Week]) -> pd.DataFrame:
    # The selection round counts the suckers kept each week, those at the foot
    # of a plant that has flowered (parous) and the others.
    rows = []
    for w, _, _, own, parous in weeks:
        date = weather.calendar_date_for_week(w) + pd.Timedelta(days=1)
        rows.append({"date": date.strftime("%Y-%m-%d"), "parous_count": int(rng.poisson(parous)),
                     "nulliparous_count": int(rng.poisson(own))})
    return pd.DataFrame(rows)


SCHEDULE = """\
# Replacement suckers planted by the grower, by model week.
replacement_schedule:
  110: 400
  111: 400
  112: 250
  130: 600
  131: 350.5
"""

PARAMETERS = """\
# Parameters of the example farm (degree-days above base_temperature_c).
general:
  base_temperature_c: 14.0
  week_length_days: 7
  rate_basis: cohort
  max_age_weeks_vegetative: 60
  max_age_weeks_reproductive: 26
  population_epsilon: 1.0e-6
flowering:
  threshold_dd: 2000.0
  amplitude: 1.0
  peak_weeks: 4.0
  spread: 2.0
sucker_selection:
  threshold_dd: 900.0
  amplitude: 1.0
  peak_weeks: 10.0
  spread: 4.0
harvest:
  threshold_dd: 900.0
  hazard_weeks: 6
mortality_replacement:
  death_rate_vegetative: 0.002
  death_rate_reproductive: 0.003
"""


def main(out: Path) -> None:
    rng = np.random.default_rng(SEED)
    out.mkdir(parents=True, exist_ok=True)
    weather_table = weather(rng)
    weather_table.to_csv(out / "weather.csv", index=False)
    inventory_table = inventory(rng, weather_table)
    inventory_table.to_csv(out / "inventory.csv", index=False)
    provider, weeks = _observed_run(weather_table, inventory_table)
    production(rng, provider, weeks).to_csv(out / "production.csv", index=False)
    selection(rng, provider, weeks).to_csv(out / "selection.csv", index=False)
    (out / "schedule.yaml").write_text(SCHEDULE, encoding="utf-8")
    (out / "parameters.yaml").write_text(PARAMETERS, encoding="utf-8")
    for path in sorted(out.iterdir()):
        print(f"wrote {path} ({path.stat().st_size:,} bytes)")


if __name__ == "__main__":
    main(Path(sys.argv[1]) if len(sys.argv) > 1 else Path(__file__).resolve().parent / "data")
