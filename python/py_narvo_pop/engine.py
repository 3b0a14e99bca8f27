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

Suckers of plants that have already flowered
--------------------------------------------
Under the "cohort" basis a cohort's per-plant sucker rate applies to all the
plants that entered it, those that have flowered included. A chain's rates
give this as ``sum_sucker_parous``: per cohort ``S x f / (1 - f)``, with ``S``
the suckers of the plants still in the cohort and ``f`` the share of the
cohort that has flowered. That reads the cohort's population ``P`` as the
unflowered remainder of ``P / (1 - f)`` plants, so the flowered plants it
stands for are ``a = P x f / (1 - f)``. For a cohort the model grew itself this
is right. A cohort seeded from an inventory holds an observed population, and
for one far past its flowering peak ``f / (1 - f)`` runs into the thousands:
300 late plants would stand for hundreds of thousands of flowered ones.

The engine therefore computes these suckers itself, from the same per-cohort
numbers: a cohort's flowered plants ``a`` can never be more than the flowered
plants on the farm, the post-flowering chain's population at the start of the
week (``F``). Per cohort the engine adds ``S x f / (1 - f)`` while
``P x f <= F x (1 - f)``, and ``(S / P) x F`` beyond, which is continuous in
every input. It depends only on the chains' state, so a run seeded from an
engine's own state reproduces that engine's run. The bound binds for a cohort
the model grew itself only when the post-flowering chain is small against that
cohort's flowered plants (a farm started empty, a short reproductive age
limit, fast harvest or high reproductive deaths); otherwise the engine's
suckers are exactly the chains' ``sum_sucker_parous``.

Two paths, one order
--------------------
``run`` steps the weeks in the native farm kernel (``py_narvo_pop._farm``)
whenever everything it reads is the package's own: a ``ParameterSet`` that the
kernel accepts, chains of exactly ``CohortChain`` holding the engine's
parameter set, and the dispersion functions of ``py_narvo_pop.cohorts`` as the
package defines them. Otherwise (a caller's own parameter object, chain
subclass or replaced curve) it steps them in the plain Python loop of
``_python_week`` over the chains' public operations. Both follow the order
above and give identical tables (tested on random farms). After a kernel run
the chains hold the kernel's final state; cohorts that were in a chain before
and are still there are the same objects, updated.

New cohorts are added only after both chains have integrated, because a rates
record is keyed by the positions of the cohorts it was computed for. A cohort
born in week ``w`` is first stepped in week ``w + 1``; its age at the start of
that week is 1 (ages count whole weeks from birth to the current week). A
seeded inventory group of age ``a >= 1`` has been stepped ``a - 1`` weeks, as
a cohort the model grew. A group of age 0 is born in the start week itself and
is stepped in it: it stands for plants already there when the week begins,
which no cohort of the model's own is. So a state written out as an inventory
(age = week - birth week) seeds the same run only when the original inventory
had no group of age 0; give such plants age 1 to keep that.

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

Seeding follows the same rule: with the package's own parameter set and
weather provider and an inventory of whole-number ages, the kernel seeds both
chains (the same cohorts ``CohortChain.from_dataframe`` gives, tested);
anything else, and any failure, goes through ``from_dataframe`` and its errors.

A kernel run checks everything before it changes anything; when it fails,
the engine steps the same weeks in the Python loop, which keeps the weeks
before the failing one and raises the chains' own error, so both paths leave
the engine in the same state.
"""

from __future__ import annotations

import math
import numbers
from collections.abc import Mapping
from typing import Any, TypeAlias

import pandas as pd

import numpy as np

from py_narvo_pop import _farm, cohorts, dispersion
from py_narvo_pop.cohorts import ChainKind, Cohort, CohortChain
from py_narvo_pop.exceptions import CohortChainError
from py_narvo_pop.parameters import ParameterSet
from py_narvo_pop.toverin import Toverin
from py_narvo_pop.weather import WeatherProvider

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

_KERNEL_MIN_WEEKS = 4

_INT_COLUMNS = ("week_index", "pre_flowering_cohorts", "post_flowering_cohorts")

# The keys the pruning step reads at the end of every week; checked before a
# run so that a missing one cannot stop a week half-way.
_PRUNING_KEYS = ("max_age_weeks_vegetative", "max_age_weeks_reproductive", "population_epsilon")


_STATE_FIELDS = (
    "birth_week_index",
    "population",
    "thermal_age",
    "weeks_since_flowering_threshold",
    "weeks_since_sucker_threshold",
    "weeks_since_harvest_threshold",
)

# The dispersion functions the chains call, as the package defines them; the
# kernel computes exactly these.
_CURVES = ("_dispersion_profile", "_dispersion_rate", "_harvest_hazard", "_harvest_hazard_cohort_basis")

# A stretch of weeks, column by column: lists from the Python loop, arrays from the kernel.
_Chunk: TypeAlias = dict[str, list[Any] | np.ndarray]


def parous_suckers(
    populations: list[float], suckers: list[float], flowered: list[float], flowered_plants: float
) -> float:
    """Suckers of the already-flowered plants of a chain's cohorts (see the module notes).

    Per cohort: ``populations`` at the start of the week, ``suckers`` of its
    plants still in the chain this week, ``flowered`` the share of the cohort
    that flowered before this week; ``flowered_plants`` the post-flowering
    population at the start of the week, which bounds the flowered plants any
    one cohort stands for. The kernel's own arithmetic, so both paths agree.
    """
    return _farm.parous_suckers(populations, suckers, flowered, flowered_plants)


def _flowered_shares(chain: CohortChain, rates: Any) -> list[float] | None:
    """Per cohort, the share flowered before this week, as the chain's rates read it."""
    params = chain._params
    if params.general["rate_basis"] != "cohort":
        return None
    group = params.flowering
    profile = cohorts._dispersion_profile(group["amplitude"], group["peak_weeks"], group["spread"])
    counters = rates.next_counters
    return [float(profile.fraction_done(counters[i][0] - 1)) for i in range(len(chain))]


def _python_rates(pre: CohortChain, post: CohortChain, w: int, increment: float,
                  replacement: float) -> tuple[Any, Any, dict[str, Any]]:
    """The first phase of a week: both chains' rates and the week's movements; changes nothing."""
    flowered_plants = float(post.total_population())
    populations = [c.population for c in pre]
    a = pre.calc_rates(increment)
    b = post.calc_rates(increment)
    shares = _flowered_shares(pre, a)
    if shares is None:
        parous = 0.0
    else:
        sucker_map = a.sucker
        own = [float(sucker_map[i]) for i in range(len(populations))]
        parous = parous_suckers(populations, own, shares, flowered_plants)
    flowering = float(a.sum_chain_exit)
    suckers = float(a.sum_sucker) + parous + float(b.sum_sucker)
    for value, what in ((flowering, "flowering plants"), (suckers, "suckers")):
        if not math.isfinite(value):
            raise ValueError(f"week {w}: the rates give {value!r} {what}; expected a finite number of plants")
    row = {
        "week_index": w,
        "heat_units": increment,
        "flowering": flowering,
        "harvest": float(b.sum_chain_exit),
        "deaths": float(a.sum_death) + float(b.sum_death),
        "suckers": suckers,
        "replacements": replacement,
    }
    return a, b, row


def _python_apply(pre: CohortChain, post: CohortChain, a: Any, b: Any, row: dict[str, Any]) -> None:
    """The second phase of a week: integrate and prune both chains, add the new cohorts."""
    w = row["week_index"]
    pruned = float(sum(c.population for c in pre.integrate(a, w)))
    pruned += float(sum(c.population for c in post.integrate(b, w)))
    post.add_new_cohort(row["flowering"], w)
    pre.add_new_cohort(row["suckers"] + row["replacements"], w)
    row["pruned"] = pruned
    row["pre_flowering"] = float(pre.total_population())
    row["post_flowering"] = float(post.total_population())
    row["pre_flowering_cohorts"] = len(pre)
    row["post_flowering_cohorts"] = len(post)


def _states(chain: CohortChain) -> dict[str, np.ndarray]:
    return _farm.chain_states(chain)


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
    """Refuse a schedule whose table holds a negative or non-finite amount, or a
    key that is not a week index (ValueError).

    The schedule keeps whatever its file or its caller gives it; the engine
    will not plant NaN or negative suckers, and a week looked up as a whole
    number never finds an entry listed under "104" (as JSON writes keys),
    104.5 or True. A schedule without a ``replacement_schedule`` mapping is
    checked week by week as the engine runs instead.
    """
    amounts = getattr(schedule, "replacement_schedule", None)
    if isinstance(amounts, Mapping):
        for week, amount in amounts.items():
            if not isinstance(week, numbers.Integral) or isinstance(week, bool):
                raise ValueError(f"replacement schedule key {week!r} is not a week index (a whole number); "
                                 "its suckers would never be planted")
            _check_amount(week, amount)


def whole_number(name: str, value: Any) -> int:
    """``value`` as an int when it is a whole number of any integer type (TypeError otherwise)."""
    if not isinstance(value, numbers.Integral) or isinstance(value, bool):
        raise TypeError(f"{name} must be an int, got {value!r}")
    return int(value)


def replacement_series(schedule: Any, first: int, n: int) -> np.ndarray:
    """The schedule's replacement suckers of weeks ``first`` .. ``first + n - 1``
    (zeros without a schedule), each checked as a run checks it (ValueError)."""
    if schedule is None:
        return np.zeros(n)
    return np.array([_check_amount(w, schedule.replacement_suckers_for_week(w)) for w in range(first, first + n)],
                    dtype=np.float64)


_PARAMETER_GROUPS = ("general", "flowering", "sucker_selection", "harvest", "mortality_replacement")
_CHAIN_VALUES = (ChainKind.POST_FLOWERING.value, ChainKind.PRE_FLOWERING.value)
_CHAIN_SET = frozenset(_CHAIN_VALUES)


def check_inventory(inventory: pd.DataFrame) -> None:
    """Refuse an inventory table without a ``chain`` column (KeyError), with a
    row in no chain (its plants would be in neither chain, and the run would
    start without them), or with a negative population or age, which the
    inventory reader refuses in a file (CohortChainError)."""
    if "chain" not in inventory.columns:
        raise KeyError("inventory table has no 'chain' column")
    kinds = inventory["chain"].tolist()
    try:
        plain = set(kinds) <= _CHAIN_SET  # the usual case, at the cost of one set
    except TypeError:  # an unhashable cell
        plain = False
    # Otherwise cell by cell: texts only (ChainKind members are texts, but hash
    # unlike their values); a missing value of any kind is no chain.
    bad = [] if plain else [k for k in kinds if not (isinstance(k, str) and k in _CHAIN_VALUES)]
    if bad:
        bad = sorted({repr(k): k for k in bad}.values(), key=lambda v: (type(v).__name__, repr(v)))
        raise CohortChainError(f"inventory has invalid chain value(s) {bad!r}; expected exactly one of "
                               f"{list(_CHAIN_VALUES)!r}")
    # What the inventory reader refuses in a file: a group of fewer than no
    # plants, or one born after the start week.
    for column, what in (("population", "plants"), ("age_weeks", "weeks of age")):
        if column not in inventory.columns:
            continue
        series = inventory[column]
        if series.dtype.kind in "iuf":  # plain numbers: no conversion
            values = series.to_numpy()
            if series.dtype.kind == "u" or not (values < 0).any():
                continue
            negative = np.flatnonzero(values < 0)
        else:
            coerced = pd.to_numeric(series, errors="coerce")
            negative = np.flatnonzero((coerced < 0).to_numpy(dtype=bool, na_value=False))
        if len(negative):
            rows = [inventory.index[i] for i in negative[:5]]
            more = f" and {len(negative) - 5} more" if len(negative) > 5 else ""
            raise CohortChainError(f"inventory has negative {column} at row(s) {rows}{more}; expected "
                                   f"{what} >= 0")


def kernel_inventory(inventory: pd.DataFrame) -> tuple[np.ndarray, np.ndarray, np.ndarray] | None:
    """The chain, population and age columns as the farm kernel seeds them, or
    None where it cannot: ages of a dtype other than whole numbers (or beyond
    64-bit), populations that are not plain numbers or that are missing (NaN
    or NA). Seeding through the chains takes those, with its own errors, so
    every entry point reports them alike."""
    try:
        chains, populations, ages = inventory["chain"], inventory["population"], inventory["age_weeks"]
        if populations.dtype.kind not in "iuf" or ages.dtype.kind not in "iu":
            return None
        if ages.dtype.kind == "u" and len(ages) and ages.max() > np.iinfo(np.int64).max:
            return None
        numbers = populations.to_numpy(dtype=np.float64, na_value=np.nan)
        if np.isnan(numbers).any():
            return None
        return chains.to_numpy(dtype=object), numbers, ages.to_numpy(dtype=np.int64)
    except (KeyError, TypeError, ValueError):
        return None


def _table(chunks: list[_Chunk]) -> pd.DataFrame:
    """The weekly table of the given column chunks (lists or arrays), in order, with fixed dtypes."""
    data: dict[str, pd.Series[Any] | list[Any] | np.ndarray] = {}
    for name in RESULT_COLUMNS:
        parts = [chunk[name] for chunk in chunks]
        if name == "date":
            values = [d for part in parts for d in part]
            data[name] = pd.Series(values, dtype=object) if not values else values
            continue
        dtype = "int64" if name in _INT_COLUMNS else "float64"
        data[name] = np.concatenate([np.asarray(part, dtype=dtype) for part in parts]) if parts else \
            np.zeros(0, dtype=dtype)
    return pd.DataFrame(data, columns=list(RESULT_COLUMNS))


class NarvoPopEngine:
    """Run the two chains of a farm from its inventory, weather and schedule.

    Parameters
    ----------
    params:
        The model's parameter set (``ParameterSet``, a mapping of its five
        groups, which is made one, or any object whose five groups are mappings).
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
        start_week_index = whole_number("start_week_index", start_week_index)
        if isinstance(params, Mapping):
            params = ParameterSet.from_dict(params)
        missing = [g for g in _PARAMETER_GROUPS if not hasattr(params, g)]
        if missing:
            raise TypeError(f"params must be a ParameterSet, a mapping of its five groups or an object with "
                            f"them as attributes; {type(params).__name__} has no {', '.join(missing)}")
        if not all(hasattr(weather, name) for name in ("thermal_increment", "calendar_date_for_week")):
            raise TypeError(f"weather must be a WeatherProvider, got {type(weather).__name__}")
        if not isinstance(inventory, pd.DataFrame):
            raise TypeError(f"inventory must be a pandas DataFrame (as PopulationInventoryReader.read gives "
                            f"it), got {type(inventory).__name__}")
        check_inventory(inventory)
        if schedule is not None:
            check_schedule(schedule)
        self.params = params
        self.weather = weather
        self.schedule = schedule
        self._chunks: list[_Chunk] = []
        self._history: pd.DataFrame | None = None
        self._broken_week: int | None = None
        self.start_week_index = start_week_index
        self.current_week_index = start_week_index
        seeded = self._seed_natively(inventory)
        if seeded is None:
            seeded = self._seed(inventory)
        self.pre_flowering: CohortChain = seeded[0]
        self.post_flowering: CohortChain = seeded[1]

    def _seed(self, inventory: pd.DataFrame) -> tuple[CohortChain, CohortChain]:
        """Both chains by ``CohortChain.from_dataframe`` of their rows, in table order."""
        kinds = inventory["chain"].to_numpy()
        chains = []
        for kind in (ChainKind.PRE_FLOWERING, ChainKind.POST_FLOWERING):
            # The rows of this kind, in table order (check_inventory refused rows of no kind).
            rows = inventory.take(np.flatnonzero(kinds == kind.value))
            chains.append(CohortChain.from_dataframe(rows, kind, self.start_week_index, self.weather,
                                                     self.params))
        return chains[0], chains[1]

    def _seed_natively(self, inventory: pd.DataFrame) -> tuple[CohortChain, CohortChain] | None:
        """The same chains seeded in the farm kernel, when everything is the package's own.

        None (and ``_seed`` does the work, with its own errors) for anything
        else: another provider or parameter object, ages that are not whole
        numbers, populations that are not numbers, or any failure here.
        """
        params, weather, start = self.params, self.weather, self.start_week_index
        if type(params) is not ParameterSet or type(weather) is not WeatherProvider:
            return None
        columns = kernel_inventory(inventory)
        if columns is None or _farm.params_fault(params) is not None:
            return None
        first = min(weather.min_week_index, start)
        try:
            history = np.array([weather.thermal_increment(w) for w in range(first, start)], dtype="float64")
            states = _farm.seed(params, *columns, start, first, history)
        except Exception:
            return None
        chains = []
        for kind, state in zip((ChainKind.PRE_FLOWERING, ChainKind.POST_FLOWERING), states):
            chain = CohortChain(kind, params)
            _farm.load_chain_states(chain, state)
            chains.append(chain)
        return chains[0], chains[1]

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
        """Every week run so far, one row per week (a new DataFrame on each read:
        changing it changes nothing the engine holds)."""
        if self._history is None:
            self._history = _table(self._chunks) if self._chunks else _table([_empty_chunk()])
        return self._history.copy()

    def replacement_suckers(self, week_index: int) -> float:
        """The schedule's replacement suckers for ``week_index`` (0.0 without a schedule)."""
        if self.schedule is None:
            return 0.0
        return _check_amount(week_index, self.schedule.replacement_suckers_for_week(week_index))

    def _dates(self, weeks: range) -> list[Any]:
        """The first calendar day of each week."""
        if type(self.weather) is WeatherProvider and len(weeks) > 8:
            # The provider's calendar is run_start_date + week x week_length_days days.
            start = np.datetime64(self.weather.run_start_date, "D")
            days = np.arange(weeks.start, weeks.stop, dtype=np.int64) * self.weather.week_length_days
            return list((start + days.astype("timedelta64[D]")).astype(object))
        return [self.weather.calendar_date_for_week(w) for w in weeks]

    def _replacements(self, weeks: range) -> list[float]:
        if type(self.schedule) is Toverin:
            # Checked when the engine was built; unlisted weeks plant nothing.
            planned = self.schedule.replacement_schedule
            return [float(planned[w]) if w in planned else 0.0 for w in weeks]
        return [self.replacement_suckers(w) for w in weeks]

    def step(self) -> dict[str, Any]:
        """Advance both chains by one model week and return that week's row as a dict."""
        chunk = self._advance(1)
        return {name: values[0].item() if isinstance(values, np.ndarray) else values[0]
                for name, values in chunk.items()}

    def run(self, n_weeks: int) -> pd.DataFrame:
        """Step ``n_weeks`` weeks from the current week; one summary row per week.

        Every week's heat units, date and replacement suckers are looked up
        before the first week is stepped, so a span beyond the weather data
        fails with the provider's ``WeatherError`` (and a bad schedule amount
        with ``ValueError``) and leaves the engine as it was. An error while
        stepping keeps the weeks completed before it (see the module notes).
        """
        if not isinstance(n_weeks, numbers.Integral) or isinstance(n_weeks, bool) or n_weeks < 0:
            raise ValueError(f"n_weeks must be a non-negative int, got {n_weeks!r}")
        return _table([self._advance(int(n_weeks))])

    def uses_kernel(self) -> bool:
        """Whether ``run`` steps this engine's weeks in the native farm kernel (see the module notes)."""
        pre, post = self.pre_flowering, self.post_flowering
        if type(self.params) is not ParameterSet:
            return False
        if type(pre) is not CohortChain or type(post) is not CohortChain:
            return False
        if pre._params is not self.params or post._params is not self.params:
            return False
        if pre.kind != ChainKind.PRE_FLOWERING or post.kind != ChainKind.POST_FLOWERING:
            return False
        if any(getattr(cohorts, name) is not getattr(dispersion, name) for name in _CURVES):
            return False
        return _farm.params_fault(self.params) is None

    def _step_weeks(self, first: int, increments: list[float], replacements: list[float]
                    ) -> tuple[_Chunk, BaseException | None, bool]:
        """Step the weeks; returns (columns of the weeks completed, the error or None, half-applied)."""
        pre, post = self.pre_flowering, self.post_flowering
        # The kernel has a fixed cost per call (the chains' state goes in and
        # out); a week or two is cheaper in the Python loop. Same results.
        if len(increments) >= _KERNEL_MIN_WEEKS and self.uses_kernel():
            try:
                columns, pre_states, post_states = _farm.run(
                    self.params, _states(pre), _states(post), first,
                    np.asarray(increments, dtype="float64"), np.asarray(replacements, dtype="float64"))
            except Exception:
                # The kernel checks before it changes anything, so nothing was
                # applied; the Python loop below steps the same weeks, keeps
                # those before the failing one and raises the chains' own error.
                pass
            else:
                _farm.load_chain_states(pre, pre_states)
                _farm.load_chain_states(post, post_states)
                return {name: columns[name] for name in RESULT_COLUMNS[1:]}, None, False
        rows: list[dict[str, Any]] = []
        for i, increment in enumerate(increments):
            w = first + i
            try:
                a, b, row = _python_rates(pre, post, w, increment, replacements[i])
            except Exception as exc:
                return _chunk_of_rows(rows), exc, False
            try:
                _python_apply(pre, post, a, b, row)
            except Exception as exc:
                return _chunk_of_rows(rows), exc, True
            rows.append(row)
        return _chunk_of_rows(rows), None, False

    def _advance(self, n_weeks: int) -> _Chunk:
        if self._broken_week is not None:
            raise EngineStateError(
                f"week {self._broken_week} failed after it had begun to change the chains; "
                "this engine cannot run on (build a new one, or unpickle a copy saved earlier)"
            )
        first = self.current_week_index
        weeks = range(first, first + n_weeks)
        increments = [float(self.weather.thermal_increment(w)) for w in weeks]
        replacements = self._replacements(weeks)
        dates = self._dates(weeks)
        if n_weeks:
            general = self.params.general
            for key in _PRUNING_KEYS:
                general[key]
        columns, error, half_applied = self._step_weeks(first, increments, replacements)
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


def _chunk_of_rows(rows: list[dict[str, Any]]) -> _Chunk:
    return {name: [row[name] for row in rows] for name in RESULT_COLUMNS[1:]}


def _empty_chunk() -> _Chunk:
    return {name: [] for name in RESULT_COLUMNS}
