"""Write the example farm's field files into examples/data/ (fixed seed).

The farm is a lowland tropical site: daily mean temperatures around 26 °C with a
gentle seasonal swing and a wetter, cooler spell mid-year; a field of about
20,000 plants whose pre-flowering blocks were planted over the last year and a
half; weekly ribbon tags on the bunches; a monthly sucker-selection count; and a
replacement planting programme after the cool season.

    python examples/make_data.py [OUTPUT_DIR]
"""

from __future__ import annotations

import math
import sys
from pathlib import Path

import numpy as np
import pandas as pd

SEED = 20240611
FIRST_DAY = pd.Timestamp("2021-01-04")  # a Monday: week 0 of the example runs
YEARS = 5
START_WEEK = 104  # first simulated week: 2023-01-02


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


def inventory(rng: np.random.Generator) -> pd.DataFrame:
    rows = []
    # Pre-flowering blocks planted every two weeks over the last 36 weeks.
    for i, age in enumerate(range(2, 37, 2)):
        rows.append(("pre_flowering", round(float(rng.normal(640, 60)), 0), age, f"B{i + 1:02d}"))
    # Bunches already shot, awaiting harvest, tagged by the week they flowered.
    for j, age in enumerate(range(1, 16)):
        rows.append(("post_flowering", round(float(rng.normal(380, 40)), 0), age, f"F{j + 1:03d}"))
    return pd.DataFrame(rows, columns=["chain", "population", "age_weeks", "tag"])


def production(rng: np.random.Generator) -> pd.DataFrame:
    # One ribbon colour per flowering week; each ribbon is recorded at three
    # weekly harvest rounds once its bunches reach cutting age.
    rows = []
    first = FIRST_DAY + pd.Timedelta(weeks=START_WEEK - 40)
    for ribbon in range(30):
        tag = f"R{ribbon + 1:03d}"
        flowered = first + pd.Timedelta(weeks=ribbon)
        tagged = int(rng.normal(420, 35))
        remaining = tagged
        for k, weeks_after in enumerate((11, 12, 13)):
            date = flowered + pd.Timedelta(weeks=weeks_after, days=int(rng.integers(0, 3)))
            share = (0.35, 0.5, 1.0)[k]
            cut = int(round(remaining * share)) if k < 2 else remaining
            remaining -= cut
            rejected = int(rng.binomial(cut, 0.04))
            losses = int(rng.binomial(tagged, 0.004))
            rows.append(
                {
                    "tag": tag,
                    "date": date.strftime("%Y-%m-%d"),
                    "bagged": tagged if k == 0 else 0,
                    "cut": cut,
                    "age_at_cut": weeks_after,
                    "field_losses": losses,
                    "rejected": rejected,
                    "processed": cut - rejected,
                }
            )
    return pd.DataFrame(rows)


def selection(rng: np.random.Generator) -> pd.DataFrame:
    rows = []
    for month in range(24):
        date = FIRST_DAY + pd.Timedelta(weeks=START_WEEK - 52 + 4 * month, days=1)
        season = 1.0 + 0.2 * math.sin(2 * math.pi * month / 12)
        rows.append(
            {
                "date": date.strftime("%Y-%m-%d"),
                "parous_count": int(rng.poisson(1450 * season)),
                "nulliparous_count": int(rng.poisson(620 * season)),
            }
        )
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
    weather(rng).to_csv(out / "weather.csv", index=False)
    inventory(rng).to_csv(out / "inventory.csv", index=False)
    production(rng).to_csv(out / "production.csv", index=False)
    selection(rng).to_csv(out / "selection.csv", index=False)
    (out / "schedule.yaml").write_text(SCHEDULE, encoding="utf-8")
    (out / "parameters.yaml").write_text(PARAMETERS, encoding="utf-8")
    for path in sorted(out.iterdir()):
        print(f"wrote {path} ({path.stat().st_size:,} bytes)")


if __name__ == "__main__":
    main(Path(sys.argv[1]) if len(sys.argv) > 1 else Path(__file__).resolve().parent / "data")
