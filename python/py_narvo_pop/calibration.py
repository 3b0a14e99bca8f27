"""Observed against simulated, and calibration of the model to the field records.

The ribbon production and sucker-selection records are what the farm saw; the
engine's weekly table is what the model says. They meet week by week:

==================  ==========================  ===================================
series              simulated (engine column)   observed (field records)
==================  ==========================  ===================================
``flowering``       ``flowering``               ``bagged``: bagging a bunch marks a
                                                plant that has just flowered
``harvest``         ``harvest``                 ``cut``: cutting marks the harvest
``suckers``         ``suckers``                 the sucker-selection ``total``: the
                                                suckers kept are the suckers that
                                                enter the young chain
==================  ==========================  ===================================

Production records are summed over ribbon tags per model week; a week in which
no tag recorded a quantity has no observation for it. **Weeks without an
observation are left out of every statistic, never counted as zero.**

Statistics per series, over the ``n`` weeks that have both values
(``s`` simulated, ``o`` observed):

* ``bias`` = mean(s - o); ``mae`` = mean(|s - o|); ``rmse`` = sqrt(mean((s - o)^2));
* ``nse`` (Nash-Sutcliffe efficiency) = 1 - sum((s - o)^2) / sum((o - mean(o))^2):
  1 is a perfect fit, 0 is no better than the observed mean, NaN when the
  observations do not vary.

Calibration minimises, over the chosen series, the weighted sum of each
series' RMSE divided by the mean of its observations (a scale-free error, so
that a series of thousands of cut bunches does not drown one of hundreds of
suckers)::

    error = sum_k w_k * rmse_k / mean(o_k)

with ``w_k = 1`` unless given. The search is SciPy's differential evolution
(a bounded global search, seeded so that a run can be repeated), optionally
polished with a bounded Nelder-Mead search; ``budget`` caps the number of
simulations of both together.
"""

from __future__ import annotations

import math
import os
import time
from dataclasses import dataclass, field
from typing import Any, Mapping, Sequence

import numpy as np
import pandas as pd

from py_narvo_pop.engine import (RESULT_COLUMNS, check_inventory, check_schedule, kernel_inventory,
                                 replacement_series, whole_number)
from py_narvo_pop.parameters import ParameterError, ParameterSet

SERIES = ("flowering", "harvest", "suckers")
"""The compared series, by the engine column they simulate."""

OBSERVED_COLUMN = {"flowering": "bagged", "harvest": "cut", "suckers": "selected"}
"""The observed column each series is compared with in the joined table."""

STATISTICS_COLUMNS = ("weeks", "observed_total", "simulated_total", "bias", "mae", "rmse", "nse")

DEFAULT_FIT = ("flowering.threshold_dd", "flowering.spread", "harvest.threshold_dd")
"""What ``calibrate`` fits when not told otherwise."""

DEFAULT_BOUNDS: dict[str, tuple[float, float]] = {
    "flowering.threshold_dd": (1000.0, 3500.0),
    "flowering.amplitude": (0.5, 1.0),
    "flowering.peak_weeks": (1.0, 12.0),
    "flowering.spread": (0.3, 8.0),
    "sucker_selection.threshold_dd": (300.0, 1800.0),
    "sucker_selection.amplitude": (0.1, 3.0),
    "sucker_selection.peak_weeks": (1.0, 20.0),
    "sucker_selection.spread": (0.5, 10.0),
    "harvest.threshold_dd": (400.0, 1800.0),
    "harvest.hazard_weeks": (1.0, 12.0),
    "mortality_replacement.death_rate_vegetative": (0.0, 0.02),
    "mortality_replacement.death_rate_reproductive": (0.0, 0.02),
}
"""Default search bounds (degree-days, weeks, plants per plant, weekly rates).

Any other numeric parameter is searched between half and one and a half times
its current value unless bounds are given."""


# ------------------------------------------------------------ observed data


def observed_series(
    production: Any = None, selection: Any = None, weather: Any = None
) -> pd.DataFrame:
    """The weekly observations as one table indexed by ``week_index``.

    Columns ``bagged``, ``cut`` (from ``RibbonProductionData.weekly_table``) and
    ``selected`` (from ``SuckerSelectionData.weekly_table``); NaN where a week
    has no observation of that quantity.
    """
    frames: list[pd.DataFrame] = []
    if production is not None:
        weekly = production.weekly_table(weather)
        frames.append(weekly.set_index("week_index")[["bagged", "cut"]])
    if selection is not None:
        weekly = selection.weekly_table(weather)
        frames.append(weekly.set_index("week_index")[["total"]].rename(columns={"total": "selected"}))
    if not frames:
        raise ValueError("nothing to compare with: give production and/or selection records")
    table = pd.concat(frames, axis=1).sort_index()
    table.index.name = "week_index"
    return table.astype("float64")


# --------------------------------------------------------------- comparison


def fit_statistics(simulated: Sequence[float], observed: Sequence[float]) -> dict[str, float]:
    """Number of weeks, totals, bias, MAE, RMSE and NSE over the weeks with both values."""
    s = np.asarray(simulated, dtype="float64")
    o = np.asarray(observed, dtype="float64")
    keep = ~(np.isnan(s) | np.isnan(o))
    s, o = s[keep], o[keep]
    n = int(s.size)
    if n == 0:
        nan = math.nan
        return dict(weeks=0, observed_total=0.0, simulated_total=0.0, bias=nan, mae=nan, rmse=nan, nse=nan)
    diff = s - o
    spread = float(np.sum((o - o.mean()) ** 2))
    sse = float(np.sum(diff**2))
    return dict(
        weeks=n,
        observed_total=float(o.sum()),
        simulated_total=float(s.sum()),
        bias=float(diff.mean()),
        mae=float(np.abs(diff).mean()),
        rmse=math.sqrt(sse / n),
        nse=1.0 - sse / spread if spread > 0.0 else math.nan,
    )


@dataclass(frozen=True, eq=False)  # tables have no single truth value: compared by identity
class Comparison:
    """Simulated against observed: ``statistics`` per series and the ``joined`` weekly table.

    ``statistics`` is indexed by series (``flowering``, ``harvest``,
    ``suckers``; only those with observations) with the columns of
    ``STATISTICS_COLUMNS``. ``joined`` has one row per simulated week that
    the records cover: ``week_index``, ``date``, then per series the simulated
    value and the observed one (NaN where nothing was observed).
    """

    statistics: pd.DataFrame
    joined: pd.DataFrame

    def error(self, weights: Mapping[str, float] | None = None) -> float:
        """The calibration error: sum of weight x RMSE / mean observed over the series."""
        return _weighted_error(self.statistics, weights)

    def summary(self) -> str:
        """One line per series, as the command line prints them."""
        lines = []
        for name, row in self.statistics.iterrows():
            lines.append(
                f"{name:<10} {OBSERVED_COLUMN[str(name)]:>8}: {int(row['weeks']):>3d} weeks  "
                f"observed {row['observed_total']:>10.1f}  simulated {row['simulated_total']:>10.1f}  "
                f"bias {row['bias']:>8.2f}  MAE {row['mae']:>8.2f}  RMSE {row['rmse']:>8.2f}  "
                f"NSE {row['nse']:>6.3f}"
            )
        return "\n".join(lines)


def compare(simulated: pd.DataFrame, observed: pd.DataFrame) -> Comparison:
    """Join an engine's weekly table with ``observed_series`` and compute the statistics.

    Only the weeks both cover are joined; a week without an observation of a
    series is left out of that series' statistics. ValueError when no
    simulated week has an observation: there is nothing to compare (and an
    empty comparison would read as a perfect fit).
    """
    sim = simulated.set_index("week_index")
    weeks = sim.index.intersection(observed.index)
    joined = pd.DataFrame({"week_index": weeks})
    if "date" in sim.columns:
        joined["date"] = sim.loc[weeks, "date"].to_numpy()
    rows = {}
    for series in SERIES:
        obs_col = OBSERVED_COLUMN[series]
        if obs_col not in observed.columns:
            continue
        sim_values = sim.loc[weeks, series].to_numpy(dtype="float64")
        obs_values = observed.loc[weeks, obs_col].to_numpy(dtype="float64")
        joined[f"{series}_simulated"] = sim_values
        joined[f"{series}_observed"] = obs_values
        stats = fit_statistics(sim_values, obs_values)
        if stats["weeks"] > 0:
            rows[series] = stats
    if not rows:
        span = f"{sim.index.min()}..{sim.index.max()}" if len(sim) else "none"
        hint = ("" if observed.index.name == "week_index"
                else "; observed must be indexed by week_index, as observed_series gives it")
        raise ValueError(f"the field records cover none of the simulated weeks ({span}){hint}")
    statistics = pd.DataFrame.from_dict(rows, orient="index", columns=list(STATISTICS_COLUMNS))
    statistics["weeks"] = statistics["weeks"].astype("int64")
    statistics.index.name = "series"
    return Comparison(statistics=statistics, joined=joined)


def checked_weights(weights: Mapping[str, float] | None) -> dict[str, float] | None:
    """The weights by series as floats; ValueError for a series not in ``SERIES``
    (a misspelt one would weigh nothing), a weight that is not a finite number
    >= 0, or weights that are all 0."""
    if weights is None:
        return None
    out = {}
    for name, value in weights.items():
        if name not in SERIES:
            raise ValueError(f"weights name an unknown series {name!r}; the series are "
                             + ", ".join(repr(s) for s in SERIES))
        w = float(value)
        if not (math.isfinite(w) and w >= 0.0):
            raise ValueError(f"the weight of {name} must be a finite number >= 0, got {value!r}")
        out[name] = w
    if not any(out.values()):
        raise ValueError("the weights give every series a weight of 0; nothing would be fitted")
    return out


def _weighted_error(statistics: pd.DataFrame, weights: Mapping[str, float] | None) -> float:
    weights = checked_weights(weights)
    total = 0.0
    for name, row in statistics.iterrows():
        w = 1.0 if weights is None else float(weights.get(str(name), 0.0))
        if w == 0.0:
            continue
        mean_observed = row["observed_total"] / row["weeks"]
        scale = abs(mean_observed) if mean_observed != 0.0 else 1.0
        total += w * row["rmse"] / scale
    return total


# --------------------------------------------------------------- parameters


def parse_fit(
    text: str | Sequence[str] | None, default: Sequence[str] = DEFAULT_FIT
) -> dict[str, tuple[float, float] | None]:
    """Parse ``NAME[=LOW:HIGH],...`` (a text or a list of items) into {dotted name: bounds or None}.

    ``None`` gives ``default`` without bounds."""
    if text is None:
        return {name: None for name in default}
    items = text.split(",") if isinstance(text, str) else list(text)
    out: dict[str, tuple[float, float] | None] = {}
    for item in (i.strip() for i in items):
        if not item:
            continue
        name, sep, bounds = item.partition("=")
        name = name.strip()
        if not sep:
            out[name] = None
            continue
        low, colon, high = bounds.partition(":")
        try:
            if not colon:
                raise ValueError
            out[name] = (float(low), float(high))
        except ValueError:
            raise ValueError(f"{item!r}: bounds must be written NAME=LOW:HIGH, e.g. "
                             f"flowering.threshold_dd=1500:2500") from None
    if not out:
        raise ValueError("no parameter named")
    return out


def current_value(params: ParameterSet, name: str) -> float:
    """The value of a dotted parameter name; ValueError naming the known ones if there is none."""
    group, dot, key = name.partition(".")
    values = params.to_dict()
    if not dot or group not in values or key not in values[group]:
        known = ", ".join(f"{g}.{k}" for g, keys in values.items() for k in keys)
        raise ValueError(f"unknown parameter {name!r}; known parameters: {known}")
    value = values[group][key]
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise ValueError(f"parameter {name!r} is not a number ({value!r}) and cannot be fitted")
    return float(value)


FIXED_BY_WEATHER = ("general.base_temperature_c", "general.week_length_days")
"""Parameters that fix the weather's weekly heat units: a run over a weather provider
built once cannot vary them."""


def check_variable(params: ParameterSet, name: str) -> float:
    """The current value of a parameter that a search may vary; ValueError otherwise."""
    value = current_value(params, name)
    if name in FIXED_BY_WEATHER:
        raise ValueError(f"parameter {name!r} cannot be varied here (it fixes the weather's weekly "
                         "heat units); build the weather provider with the value you want instead")
    return value


UPPER_LIMITS: dict[str, float] = {
    "flowering.amplitude": 1.0,
    "mortality_replacement.death_rate_vegetative": 1.0,
    "mortality_replacement.death_rate_reproductive": 1.0,
}
"""The largest meaningful value of the parameters bounded above: default ranges stop there."""


def default_range(name: str, current: float, spread: float) -> tuple[float, float]:
    """``current`` +- ``spread`` x ``current`` (0 to 1 around a value of 0), within
    ``UPPER_LIMITS`` (a value above its limit, such as a flowering amplitude
    the cohort basis caps at 1, counts as the limit)."""
    limit = UPPER_LIMITS.get(name, math.inf)
    current = min(current, limit)
    low, high = sorted((current * (1.0 - spread), current * (1.0 + spread)))
    if low == high:
        high = low + 1.0
    return low, min(high, limit)


def checked_range(params: ParameterSet, name: str, low: float, high: float) -> tuple[float, float]:
    """``(low, high)`` as floats when both are finite, ``low < high`` and the
    parameter set takes both values; ValueError naming the parameter otherwise."""
    if not (math.isfinite(low) and math.isfinite(high) and low < high):
        raise ValueError(f"bounds of {name} must be two finite numbers LOW < HIGH, got {low}:{high}")
    for value in (low, high):
        try:
            with_values(params, {name: value})
        except ParameterError as e:
            raise ValueError(f"bounds of {name} are {low:g}:{high:g}, but {e}") from None
    return float(low), float(high)


def resolve_bounds(
    params: ParameterSet, fit: Mapping[str, tuple[float, float] | None]
) -> dict[str, tuple[float, float]]:
    """Bounds for every fitted name: the given ones, else ``DEFAULT_BOUNDS``, else +-50 %."""
    if not fit:
        raise ValueError("no parameter named")
    out = {}
    for name, given in fit.items():
        current = check_variable(params, name)
        if given is not None:
            low, high = given
        elif name in DEFAULT_BOUNDS:
            low, high = DEFAULT_BOUNDS[name]
        else:
            low, high = default_range(name, current, 0.5)
        out[name] = checked_range(params, name, low, high)
    return out


WHOLE_NUMBERS = ("general.week_length_days", "general.max_age_weeks_vegetative",
                 "general.max_age_weeks_reproductive")
"""Parameters set to whole numbers (days or weeks) when a search gives a fraction."""


def with_values(params: ParameterSet, values: Mapping[str, float]) -> ParameterSet:
    """A copy of ``params`` with the dotted names set to ``values``."""
    d = params.to_dict()
    for name, value in values.items():
        group, _, key = name.partition(".")
        d[group][key] = int(round(value)) if name in WHOLE_NUMBERS else float(value)
    return ParameterSet.from_dict(d)


# ----------------------------------------------------------------- the farm


def _farm_runs(params: ParameterSet) -> bool:
    """Whether the kernel computes what the chains would: the package's own curves, readable parameters."""
    from py_narvo_pop import _farm, cohorts, dispersion

    curves = ("_dispersion_profile", "_dispersion_rate", "_harvest_hazard", "_harvest_hazard_cohort_basis")
    if any(getattr(cohorts, name) is not getattr(dispersion, name) for name in curves):
        return False
    return _farm.params_fault(params) is None


class Farm:
    """One farm's inputs, read once: weather provider, inventory, schedule and span.

    ``simulate(params)`` gives the engine's weekly table of ``n_weeks`` weeks
    from ``start_week_index`` under a parameter set. The weekly heat units,
    the schedule's replacements and the inventory columns are converted once;
    each simulation then seeds and runs both chains in the native farm kernel.
    Inputs the kernel cannot take (a weather object of another type, a
    parameter object that is not a ``ParameterSet``) run through
    ``NarvoPopEngine`` instead, with the same results.
    """

    def __init__(self, weather: Any, inventory: pd.DataFrame, schedule: Any = None, *,
                 start_week_index: int = 0, n_weeks: int = 52) -> None:
        from py_narvo_pop.weather import WeatherProvider

        check_inventory(inventory)
        if schedule is not None:
            check_schedule(schedule)
        self.weather = weather
        self.inventory = inventory
        self.schedule = schedule
        self.start_week_index = whole_number("start_week_index", start_week_index)
        self.n_weeks = whole_number("n_weeks", n_weeks)
        if self.n_weeks < 1:
            raise ValueError(f"n_weeks must be at least 1, got {n_weeks!r}")
        weeks = range(self.start_week_index, self.start_week_index + self.n_weeks)
        self._dates = [weather.calendar_date_for_week(w) for w in weeks]
        columns = kernel_inventory(inventory)
        self._native = type(weather) is WeatherProvider and columns is not None
        if self._native:
            assert columns is not None
            # History for seeding and the simulated span, in one series.
            self._first_increment_week = weather.min_week_index
            self._history = np.array(
                [weather.thermal_increment(w) for w in range(weather.min_week_index, self.start_week_index)],
                dtype="float64")
            self._increments = np.array([weather.thermal_increment(w) for w in weeks], dtype="float64")
            self._replacements = replacement_series(schedule, self.start_week_index, self.n_weeks)
            self._chains, self._populations, self._ages = columns

    def _kernel_columns(self, params: Any, explain: bool = True) -> dict[str, Any]:
        from py_narvo_pop import _farm

        try:
            pre, post = _farm.seed(params, self._chains, self._populations, self._ages,
                                   self.start_week_index, self._first_increment_week, self._history)
            columns, _, _ = _farm.run(params, pre, post, self.start_week_index,
                                      self._increments, self._replacements)
        except Exception:
            if explain:
                # The engine's own error says in which week and why.
                self._engine_table(params)
            raise
        return columns

    def _engine_table(self, params: Any) -> pd.DataFrame:
        from py_narvo_pop.engine import NarvoPopEngine

        engine = NarvoPopEngine(params, self.weather, self.inventory, self.schedule,
                                start_week_index=self.start_week_index)
        return engine.run(self.n_weeks)

    def columns(self, params: Any, *, explain: bool = True) -> Mapping[str, Any]:
        """The weekly columns of a simulation as numpy arrays (no table built).

        A run the kernel stops raises the engine's error, which names the week
        and the rate; ``explain=False`` raises the kernel's own, without
        running the engine for it (a search that only needs to know it failed)."""
        if self._native and type(params) is ParameterSet and _farm_runs(params):
            return self._kernel_columns(params, explain)
        table = self.simulate(params)
        return {name: table[name].to_numpy() for name in table.columns}

    def simulate(self, params: Any) -> pd.DataFrame:
        if self._native and type(params) is ParameterSet and _farm_runs(params):
            columns = self._kernel_columns(params)
            table = pd.DataFrame({"date": self._dates, **columns})
            for name in ("week_index", "pre_flowering_cohorts", "post_flowering_cohorts"):
                table[name] = table[name].astype("int64")
            return table[["date", *RESULT_COLUMNS[1:]]]
        return self._engine_table(params)


# -------------------------------------------------------------- calibration


@dataclass(frozen=True, eq=False)  # tables have no single truth value: compared by identity
class CalibrationResult:
    """What ``calibrate`` found.

    ``params`` is the fitted parameter set; ``values`` the fitted values by
    dotted name, within ``bounds``; ``before``/``after`` the comparisons with
    the starting and the fitted parameters; ``error_before``/``error_after``
    their calibration errors; ``simulations`` the number of model runs and
    ``seconds`` the wall time.
    """

    params: ParameterSet
    values: dict[str, float]
    bounds: dict[str, tuple[float, float]]
    before: Comparison
    after: Comparison
    error_before: float
    error_after: float
    simulations: int
    seconds: float
    message: str = ""
    history: list[float] = field(default_factory=list, repr=False)


class _Objective:
    """The calibration error of a vector of parameter values (picklable for worker processes)."""

    def __init__(self, farm: Farm, params: ParameterSet, names: Sequence[str],
                 observed: pd.DataFrame, weights: Mapping[str, float] | None) -> None:
        self.farm = farm
        self.params = params
        self.names = list(names)
        self.observed = observed
        self.weights = dict(weights) if weights is not None else None

        # Where each series' observations sit among the simulated weeks, for
        # the error of one simulation without building tables.
        first = farm.start_week_index
        self._series = []
        for series in SERIES:
            column = OBSERVED_COLUMN[series]
            if column not in observed.columns:
                continue
            values = observed[column].dropna()
            weeks = values.index.to_numpy(dtype="int64")
            inside = (weeks >= first) & (weeks < first + farm.n_weeks)
            if not inside.any():
                continue
            o = values.to_numpy(dtype="float64")[inside]
            weight = 1.0 if self.weights is None else float(self.weights.get(series, 0.0))
            mean = abs(float(o.mean()))
            self._series.append((series, weeks[inside] - first, o, weight / (mean if mean != 0.0 else 1.0)))

    def comparison(self, x: Sequence[float]) -> Comparison:
        return compare(self.farm.simulate(self.params_at(x)), self.observed)

    def params_at(self, x: Sequence[float]) -> ParameterSet:
        return with_values(self.params, dict(zip(self.names, (float(v) for v in x))))

    def __call__(self, x: Sequence[float]) -> float:
        """The calibration error of the parameter values ``x`` (what ``Comparison.error`` gives)."""
        try:
            columns = self.farm.columns(self.params_at(x), explain=False)
        except (ValueError, ArithmeticError):
            return math.inf
        error = 0.0
        for series, positions, observed, scale in self._series:
            if scale == 0.0:
                continue
            diff = columns[series][positions] - observed
            error += scale * math.sqrt(float(diff @ diff) / diff.size)
        return error if math.isfinite(error) else math.inf


class _Counter:
    """Counts evaluations in this process, shows a progress bar and stops at the budget."""

    def __init__(self, objective: _Objective, budget: int, progress: bool) -> None:
        self.objective = objective
        self.budget = budget
        self.count = 0
        self.best = math.inf
        self.history: list[float] = []
        self.bar = None
        if progress:
            try:
                from tqdm import tqdm

                self.bar = tqdm(total=budget, desc="calibrating", unit="sim", leave=False)
            except ImportError:  # pragma: no cover - tqdm is optional
                self.bar = None

    def __call__(self, x: Sequence[float]) -> float:
        if self.count >= self.budget:
            return math.inf
        self.count += 1
        value = self.objective(x)
        if value < self.best:
            self.best = value
        self.history.append(self.best)
        if self.bar is not None:
            self.bar.update(1)
            self.bar.set_postfix(error=f"{self.best:.4g}")
        return value

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()


def calibrate(
    farm: Farm,
    params: ParameterSet,
    *,
    production: Any = None,
    selection: Any = None,
    fit: str | Sequence[str] | Mapping[str, tuple[float, float] | None] | None = None,
    weights: Mapping[str, float] | None = None,
    budget: int = 2000,
    seed: int = 0,
    polish: bool = True,
    workers: int = 1,
    progress: bool | None = None,
) -> CalibrationResult:
    """Fit parameters so that the simulated weekly series match the field records.

    ``fit`` names the parameters by dotted name (``"flowering.threshold_dd"``),
    as a ``NAME[=LOW:HIGH],...`` text, a list of names or a mapping to bounds;
    by default ``DEFAULT_FIT`` within ``DEFAULT_BOUNDS``. ``weights`` weigh the
    series (default 1 each for every observed series). ``budget`` caps the
    simulations; ``seed`` fixes the search; ``polish`` follows the global search
    with a bounded local one. ``workers > 1`` evaluates each generation in that
    many worker processes. ``progress`` shows a progress bar (default: when
    standard error is a terminal).

    The farm's weather, inventory and schedule are read once (``Farm``); every
    evaluation is one simulation of ``farm.n_weeks`` weeks.
    """
    from scipy.optimize import differential_evolution, minimize

    if not isinstance(budget, int) or budget < 1:
        raise ValueError(f"budget must be a positive number of simulations, got {budget!r}")
    started = time.perf_counter()
    weather = farm.weather
    observed = observed_series(production, selection, weather)
    weights = checked_weights(weights)
    fit_map = fit if isinstance(fit, Mapping) else parse_fit(fit)
    bounds = resolve_bounds(params, fit_map)
    names = list(bounds)
    objective = _Objective(farm, params, names, observed, weights)
    if weights is not None and not any(scale for *_, scale in objective._series):
        observed_names = [series for series, *_ in objective._series]
        raise ValueError(f"the weights give every observed series ({', '.join(observed_names) or 'none'}) a "
                         "weight of 0; nothing would be fitted")

    before = objective.comparison([current_value(params, n) for n in names])
    if progress is None:
        import sys

        progress = bool(getattr(sys.stderr, "isatty", lambda: False)())
    counter = _Counter(objective, budget, progress)
    lows = [bounds[n][0] for n in names]
    highs = [bounds[n][1] for n in names]
    x0 = np.clip([current_value(params, n) for n in names], lows, highs)
    popsize = 10
    local_share = 0.2 if polish else 0.0
    global_budget = max(1, int(budget * (1.0 - local_share)))
    members = popsize * len(names)
    maxiter = max(1, global_budget // members - 1)
    try:
        if workers > 1:
            # Worker processes evaluate the plain objective; this process
            # counts what each generation asked for.
            de = differential_evolution(
                objective, list(zip(lows, highs)), seed=seed, popsize=popsize, maxiter=maxiter,
                polish=False, x0=x0, workers=workers, updating="deferred", tol=1e-8,
            )
            counter.count += int(de.nfev)
        else:
            de = differential_evolution(
                counter, list(zip(lows, highs)), seed=seed, popsize=popsize, maxiter=maxiter,
                polish=False, x0=x0, tol=1e-8,
            )
        best_x, best_f, message = np.asarray(de.x), float(de.fun), str(de.message)
        remaining = budget - counter.count
        if polish and remaining > 2 * len(names):
            local = minimize(counter, best_x, method="Nelder-Mead", bounds=list(zip(lows, highs)),
                             options={"maxfev": remaining, "xatol": 1e-3, "fatol": 1e-9})
            if float(local.fun) < best_f:
                best_x, best_f = np.asarray(local.x), float(local.fun)
    finally:
        counter.close()
    fitted = with_values(params, {n: float(v) for n, v in zip(names, best_x)})
    # As the fitted set holds them (whole weeks and days rounded).
    values = {n: current_value(fitted, n) for n in names}
    after = compare(farm.simulate(fitted), observed)
    return CalibrationResult(
        params=fitted,
        values=values,
        bounds=bounds,
        before=before,
        after=after,
        error_before=before.error(weights),
        error_after=after.error(weights),
        simulations=counter.count + 2,
        seconds=time.perf_counter() - started,
        message=message,
        history=counter.history,
    )


def default_workers() -> int:
    """The number of cores this process may use."""
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:  # pragma: no cover - not on Linux
        return os.cpu_count() or 1


__all__ = [
    "SERIES",
    "OBSERVED_COLUMN",
    "STATISTICS_COLUMNS",
    "DEFAULT_FIT",
    "DEFAULT_BOUNDS",
    "UPPER_LIMITS",
    "observed_series",
    "fit_statistics",
    "Comparison",
    "compare",
    "checked_weights",
    "parse_fit",
    "resolve_bounds",
    "default_range",
    "checked_range",
    "with_values",
    "Farm",
    "CalibrationResult",
    "calibrate",
    "default_workers",
]
