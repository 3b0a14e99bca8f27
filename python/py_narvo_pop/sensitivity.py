"""Sobol sensitivity of the yearly harvest and flowering to the model's parameters.

``sensitivity`` draws parameter sets with SALib's Sobol sequence (Saltelli's
scheme, first-order and total indices), runs them all as one native ensemble
of the farm, and analyses the harvest and the flowering per 52 weeks of the
run (their totals over the run scaled to 52 weeks). Parameters that change
the weekly heat units themselves (``general.base_temperature_c``,
``general.week_length_days``) or are not numbers cannot be varied.
"""

from __future__ import annotations

import dataclasses
from collections.abc import Mapping, Sequence
from typing import Any

import numpy as np
import pandas as pd

from py_narvo_pop import calibration
from py_narvo_pop.calibration import check_variable, checked_range, default_range, parse_fit
from py_narvo_pop.ensemble import Scenario, run_ensemble

OUTPUTS = ("harvest", "flowering")
DEFAULT_NAMES = (
    "flowering.threshold_dd",
    "sucker_selection.threshold_dd",
    "harvest.threshold_dd",
    "harvest.hazard_weeks",
    "mortality_replacement.death_rate_vegetative",
    "mortality_replacement.death_rate_reproductive",
)
#: Half-width of the default range around a parameter's value.
DEFAULT_SPREAD = 0.2


def parse_names(text: str | Sequence[str] | None) -> dict[str, tuple[float, float] | None]:
    """``NAME[=LOW:HIGH],...`` as {dotted name: bounds or None}; ``None`` gives ``DEFAULT_NAMES``."""
    return parse_fit(text, DEFAULT_NAMES)


def bounds_for(params: Any, names: Mapping[str, tuple[float, float] | None]) -> dict[str, tuple[float, float]]:
    """Every name's range: as given, else the current value +-20 % (within
    ``calibration.UPPER_LIMITS``: rates and the flowering amplitude stop at 1)."""
    if not names:
        raise ValueError("no parameter named")
    out = {}
    for name, given in names.items():
        current = check_variable(params, name)
        low, high = default_range(name, current, DEFAULT_SPREAD) if given is None else given
        out[name] = checked_range(params, name, low, high)
    return out


def with_values(params: Any, names: Sequence[str], row: Sequence[float]) -> Any:
    """A copy of ``params`` with the dotted names set to the values of ``row``."""
    return calibration.with_values(params, dict(zip(names, (float(v) for v in row))))


@dataclasses.dataclass
class SensitivityResult:
    """Sobol indices: ``indices`` has one row per (output, parameter) with
    ``S1``, ``S1_conf``, ``ST``, ``ST_conf``; ``outputs`` the model outputs
    per sampled parameter set; ``samples`` the parameter sets' values."""

    names: tuple[str, ...]
    bounds: dict[str, tuple[float, float]]
    samples: np.ndarray
    outputs: pd.DataFrame
    indices: pd.DataFrame
    seconds: float

    def summary(self) -> str:
        table = self.indices.to_string(index=False, float_format=lambda v: f"{v:7.3f}")
        return (f"Sobol indices of {len(self.samples)} runs ({len(self.names)} parameters), "
                f"{self.seconds:.1f} s\n{table}")

    def plot(self, path: Any) -> None:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt

        outputs = list(dict.fromkeys(self.indices["output"]))
        fig, axes = plt.subplots(1, len(outputs), figsize=(5 * len(outputs), 0.6 * len(self.names) + 1.8),
                                 sharey=True, squeeze=False)
        y = np.arange(len(self.names))
        for ax, out in zip(axes[0], outputs):
            rows = self.indices[self.indices["output"] == out].set_index("parameter").loc[list(self.names)]
            ax.barh(y - 0.2, rows["S1"], 0.4, xerr=rows["S1_conf"], label="first order")
            ax.barh(y + 0.2, rows["ST"], 0.4, xerr=rows["ST_conf"], label="total")
            ax.set_title(f"{out} per 52 weeks")
            ax.set_xlim(left=min(0.0, float(rows["S1"].min()) - 0.05))
            ax.axvline(0.0, color="0.5", lw=0.5)
        axes[0][0].set_yticks(y, self.names)
        axes[0][0].invert_yaxis()
        axes[0][-1].legend(loc="lower right")
        fig.tight_layout()
        fig.savefig(path, dpi=110)
        plt.close(fig)


def sensitivity(
    params: Any,
    weather: Any,
    inventory: pd.DataFrame,
    schedule: Any = None,
    *,
    start_week_index: int,
    n_weeks: int = 52,
    names: Mapping[str, tuple[float, float] | None] | str | Sequence[str] | None = None,
    samples: int = 256,
    seed: int = 0,
    threads: int | None = None,
    client: Any = None,
    progress: bool | None = None,
) -> SensitivityResult:
    """First-order and total Sobol indices of the harvest and flowering per 52 weeks.

    ``names`` are dotted parameter names with optional ranges (``NAME[=LOW:HIGH]``
    texts or a mapping); ``samples`` is SALib's base sample size N (a power of
    two), giving N * (len(names) + 2) runs. ``seed`` fixes the sample and the
    bootstrap of the confidence intervals: the same call gives the same table.
    """
    import time

    from SALib.analyze import sobol as sobol_analyze
    from SALib.sample import sobol as sobol_sample

    t0 = time.perf_counter()
    if not isinstance(n_weeks, int) or isinstance(n_weeks, bool) or n_weeks < 1:
        raise ValueError(f"n_weeks must be a positive number of weeks, got {n_weeks!r}")
    if not isinstance(seed, int) or isinstance(seed, bool) or seed < 0:
        raise ValueError(f"seed must be an int >= 0, got {seed!r}")
    if not isinstance(names, Mapping):
        names = parse_names(names)
    bounds = bounds_for(params, names)
    if not isinstance(samples, int) or samples < 2 or samples & (samples - 1):
        raise ValueError(f"samples must be a power of two of at least 2, got {samples!r}")
    order = tuple(bounds)
    problem = {"num_vars": len(order), "names": list(order), "bounds": [list(bounds[n]) for n in order]}
    x = sobol_sample.sample(problem, samples, calc_second_order=False, seed=seed)
    scenarios = [Scenario(with_values(params, order, row), weather, inventory, schedule,
                          start_week_index, n_weeks) for row in x]
    result = run_ensemble(scenarios, columns=OUTPUTS, threads=threads, client=client, progress=progress)
    scale = 52.0 / n_weeks
    outputs = pd.DataFrame({out: np.nansum(result.column(out), axis=1) * scale for out in OUTPUTS})
    rows = []
    for out in OUTPUTS:
        y = outputs[out].to_numpy()
        if np.ptp(y) == 0.0:
            s1 = st = conf1 = conft = np.zeros(len(order))
        else:
            # The bootstrap of the confidence intervals is seeded too (the
            # analyser leaves a seed of 0 unseeded, hence the + 1).
            si = sobol_analyze.analyze(problem, y, calc_second_order=False, seed=seed + 1)
            s1, st, conf1, conft = si["S1"], si["ST"], si["S1_conf"], si["ST_conf"]
        for i, name in enumerate(order):
            rows.append({"output": out, "parameter": name, "S1": s1[i], "S1_conf": conf1[i],
                         "ST": st[i], "ST_conf": conft[i]})
    return SensitivityResult(order, bounds, x, outputs, pd.DataFrame(rows), time.perf_counter() - t0)
