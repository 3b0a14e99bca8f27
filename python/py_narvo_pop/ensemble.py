"""Ensembles: one farm model run over many scenarios at native speed.

A ``Scenario`` is one run of ``NarvoPopEngine``: a parameter set, a weather
provider, an inventory table, an optional schedule, the first week and the
number of weeks. ``run_ensemble`` runs any number of them, in any combination
of inputs, and returns an ``EnsembleResult``: the weekly columns as one float
array [scenario, week, column] and, on request, the tidy table (one row per
scenario and week, with every column of the engine's weekly table).

How it runs
-----------
Each distinct input is converted once: the thermal history that seeds the
chains per distinct (weather, first week), the weekly heat units and dates per
distinct (weather, span), the replacement suckers per distinct (schedule,
span). Scenarios then go in batches to the native farm kernel, which seeds
both chains once per distinct (parameters, weather, inventory, first week) and
steps all the batch's scenarios in one ``run_many`` call, spread over threads
with the GIL released. Only the requested columns of each batch are kept, so
the memory an ensemble holds is ``n_weeks * len(columns) * 8`` bytes per
scenario plus one batch's working set, however many scenarios run.

The kernel serves a scenario whose parameters are the package's own
``ParameterSet`` (a plain dict of the five groups is converted to one), whose
weather is exactly a ``WeatherProvider`` (or a ``SplicedWeather`` of two), and
while the package's own dispersion curves are in place. Any other scenario
(a caller's own parameter object or provider, a replaced curve, a week without
weather, a bad schedule amount) runs through ``NarvoPopEngine`` itself, the
compatibility path, which gives the same table or raises the engine's error.

With a ``dask.distributed.Client`` the batches go to the cluster's workers
(each batch one kernel call on a worker); batches are sized so that a task
runs for about a quarter of a second, and the results are gathered back in
scenario order, identical to a local run.
"""

from __future__ import annotations

import dataclasses
import math
import os
import sys
import time
from collections.abc import Callable, Iterable, Mapping, Sequence
from typing import Any

import numpy as np
import pandas as pd

from py_narvo_pop import _farm
from py_narvo_pop.engine import check_inventory, kernel_inventory, replacement_series

COLUMNS: tuple[str, ...] = tuple(_farm.COLUMNS)
_INT_COLUMNS = ("week_index", "pre_flowering_cohorts", "post_flowering_cohorts")
_GROUPS = ("general", "flowering", "sucker_selection", "harvest", "mortality_replacement")

#: Scenarios per kernel call when running locally.
DEFAULT_BATCH = 256
#: Wall time a Dask task aims at, in seconds.
TASK_SECONDS = 0.25


@dataclasses.dataclass(frozen=True, eq=False)
class Scenario:
    """One run of the farm: ``NarvoPopEngine(params, weather, inventory, schedule,
    start_week_index=start_week_index).run(n_weeks)``."""

    params: Any
    weather: Any
    inventory: pd.DataFrame
    schedule: Any = None
    start_week_index: int = 0
    n_weeks: int = 52

    def __post_init__(self) -> None:
        for name in ("start_week_index", "n_weeks"):
            value = getattr(self, name)
            if not isinstance(value, (int, np.integer)) or isinstance(value, bool):
                raise TypeError(f"{name} must be an int, got {value!r}")
        if self.n_weeks < 0:
            raise ValueError(f"n_weeks must be a non-negative int, got {self.n_weeks!r}")
        if isinstance(self.params, Mapping):
            from py_narvo_pop.parameters import ParameterSet

            object.__setattr__(self, "params", ParameterSet.from_dict(self.params))

    def run_engine(self) -> pd.DataFrame:
        """The scenario's weekly table through ``NarvoPopEngine`` (the Python path)."""
        from py_narvo_pop.engine import NarvoPopEngine

        engine = NarvoPopEngine(self.params, self.weather, self.inventory, self.schedule,
                                start_week_index=int(self.start_week_index))
        return engine.run(int(self.n_weeks))


class SplicedWeather:
    """Weather whose weeks before ``switch_week`` come from ``history`` and whose
    later weeks come from ``future`` shifted by ``offset`` weeks.

    Week ``w >= switch_week`` has the heat units of ``future``'s week
    ``w + offset``; the calendar (dates, week numbering) is ``history``'s. A
    forecast member seeds its chains with the real thermal history and runs
    its weeks under another year's weather this way.
    """

    def __init__(self, history: Any, future: Any, switch_week: int, offset: int = 0) -> None:
        self.history = history
        self.future = future
        self.switch_week = int(switch_week)
        self.offset = int(offset)

    def __repr__(self) -> str:
        return (f"SplicedWeather(switch_week={self.switch_week}, offset={self.offset}, "
                f"future from {self.future.calendar_date_for_week(self.switch_week + self.offset)})")

    @property
    def min_week_index(self) -> int:
        return int(self.history.min_week_index)

    @property
    def max_week_index(self) -> int:
        return int(self.future.max_week_index) - self.offset

    def thermal_increment(self, week_index: int) -> float:
        if week_index < self.switch_week:
            return float(self.history.thermal_increment(week_index))
        return float(self.future.thermal_increment(week_index + self.offset))

    def calendar_date_for_week(self, week_index: int) -> Any:
        return self.history.calendar_date_for_week(week_index)

    def week_index_for_date(self, d: Any) -> int:
        return int(self.history.week_index_for_date(d))


# ------------------------------------------------------------------ result


@dataclasses.dataclass
class EnsembleResult:
    """The weekly columns of every scenario.

    ``values[s, k, j]`` is column ``columns[j]`` of week ``k`` of scenario
    ``s``; a scenario shorter than the longest is padded with NaN past its
    ``n_weeks[s]``. ``start_week_index[s]`` is its first week. Week dates are
    kept once per distinct calendar span (``date_rows``, ``date_of``).
    """

    columns: tuple[str, ...]
    values: np.ndarray
    n_weeks: np.ndarray
    start_week_index: np.ndarray
    date_rows: list[list[Any]]
    date_of: np.ndarray
    kernel_scenarios: int = 0
    seconds: float = 0.0

    def __len__(self) -> int:
        return int(self.values.shape[0])

    def column(self, name: str) -> np.ndarray:
        """One column as an array [scenario, week]."""
        if name not in self.columns:
            raise KeyError(f"no column {name!r} in this result; it holds {list(self.columns)} "
                           "(the dates are in scenario_table() and table())")
        return self.values[:, :, self.columns.index(name)]

    def scenario_table(self, s: int) -> pd.DataFrame:
        """Scenario ``s``'s weekly table, as ``NarvoPopEngine.run`` returns it."""
        return self._frame([s], with_scenario=False)

    def table(self) -> pd.DataFrame:
        """The tidy table: ``scenario`` and the weekly columns, one row per scenario and week."""
        return self._frame(range(len(self)), with_scenario=True)

    def _frame(self, which: Iterable[int], with_scenario: bool) -> pd.DataFrame:
        from py_narvo_pop.engine import RESULT_COLUMNS

        which = list(which)
        counts = self.n_weeks[which].astype(np.int64)
        rows = np.concatenate([np.arange(n) for n in counts]) if which else np.zeros(0, np.int64)
        scen = np.repeat(np.asarray(which, dtype=np.int64), counts)
        data: dict[str, Any] = {}
        if with_scenario:
            data["scenario"] = scen
        dates: list[Any] = []
        for s, n in zip(which, counts):
            dates.extend(self.date_rows[self.date_of[s]][:n])
        names = [c for c in RESULT_COLUMNS if c == "date" or c in self.columns]
        names += [c for c in self.columns if c not in names]
        for name in names:
            if name == "date":
                data["date"] = pd.Series(dates, dtype=object)  # object even when empty, as the engine's
            else:
                col = self.values[scen, rows, self.columns.index(name)]
                data[name] = col.astype(np.int64) if name in _INT_COLUMNS else col
        return pd.DataFrame(data, columns=list(data))


# ------------------------------------------------------------- preparation


def _native_curves() -> bool:
    """Whether the package's own dispersion curves are in place."""
    from py_narvo_pop import cohorts, dispersion

    return all(getattr(cohorts, name) is getattr(dispersion, name)
               for name in ("_dispersion_profile", "_dispersion_rate", "_harvest_hazard",
                            "_harvest_hazard_cohort_basis"))


def _native_weather(weather: Any) -> bool:
    from py_narvo_pop.weather import WeatherProvider

    if type(weather) is SplicedWeather:
        return type(weather.history) is WeatherProvider and type(weather.future) is WeatherProvider
    return type(weather) is WeatherProvider


def kernel_serves(scenario: Scenario) -> bool:
    """Whether the farm kernel can run ``scenario`` (else it runs through the engine)."""
    return _native_curves() and _kernel_inputs(scenario)


def _kernel_inputs(scenario: Scenario) -> bool:
    """kernel_serves without the check of the dispersion curves."""
    from py_narvo_pop.parameters import ParameterSet

    return (type(scenario.params) is ParameterSet and _native_weather(scenario.weather)
            and isinstance(scenario.inventory, pd.DataFrame))


class _Unfit(Exception):
    """A scenario input the kernel path will not take; the engine runs it instead."""


@dataclasses.dataclass
class _Seed:
    """What seeding one (parameters, weather, inventory, first week) needs."""

    params: Any
    chains: np.ndarray
    populations: np.ndarray
    ages: Any
    start: int
    first_increment_week: int
    history: np.ndarray


@dataclasses.dataclass
class _Group:
    """Kernel scenarios of one batch sharing their first week and length."""

    first_week: int
    n_weeks: int
    ids: np.ndarray
    params: list[Any]
    seed_of: list[int]
    increments: np.ndarray
    replacements: np.ndarray


@dataclasses.dataclass
class _Batch:
    """One unit of work: kernel groups and scenarios for the engine."""

    seeds: dict[int, _Seed]
    groups: list[_Group]
    engine: list[tuple[int, Scenario]]

    @property
    def size(self) -> int:
        return sum(len(g.ids) for g in self.groups) + len(self.engine)


class _Preparer:
    """Converts each distinct input once (keyed by object identity)."""

    def __init__(self) -> None:
        self._weekly: dict[tuple[int, ...], np.ndarray] = {}
        self._dates: dict[tuple[int, ...], int] = {}
        self._replacements: dict[tuple[int, ...], np.ndarray] = {}
        self._inventory: dict[int, tuple[Any, Any, Any]] = {}
        self._seeds: dict[tuple[int, ...], int] = {}
        self.seeds: list[_Seed] = []
        self.date_rows: list[list[Any]] = []
        self._keep: list[Any] = []  # holds the keyed objects so their ids stay unique

    def _key(self, *objects: Any) -> tuple[int, ...]:
        self._keep.extend(objects)
        return tuple(id(o) for o in objects)

    def weekly(self, weather: Any, first: int, stop: int) -> np.ndarray:
        key = (*self._key(weather), first, stop)
        if key not in self._weekly:
            from py_narvo_pop.exceptions import WeatherError

            try:
                self._weekly[key] = np.array([weather.thermal_increment(w) for w in range(first, stop)],
                                             dtype=np.float64)
            except WeatherError as e:
                raise _Unfit from e
        return self._weekly[key]

    def dates(self, weather: Any, first: int, n: int) -> int:
        key = (*self._key(weather), first, n)
        if key not in self._dates:
            self._dates[key] = len(self.date_rows)
            self.date_rows.append([weather.calendar_date_for_week(w) for w in range(first, first + n)])
        return self._dates[key]

    def replacements(self, schedule: Any, first: int, n: int) -> np.ndarray:
        key = (*self._key(schedule), first, n)
        if key not in self._replacements:
            try:
                values = replacement_series(schedule, first, n)
            except ValueError:
                raise _Unfit from None  # the engine raises its own error
            self._replacements[key] = values
        return self._replacements[key]

    def inventory(self, table: pd.DataFrame) -> tuple[Any, Any, Any]:
        key = self._key(table)[0]
        if key not in self._inventory:
            check_inventory(table)
            columns = kernel_inventory(table)
            if columns is None:
                raise _Unfit
            self._inventory[key] = columns
        return self._inventory[key]

    def seed(self, sc: Scenario) -> int:
        key = self._key(sc.params, sc.weather, sc.inventory) + (int(sc.start_week_index),)
        if key not in self._seeds:
            chains, populations, ages = self.inventory(sc.inventory)
            start = int(sc.start_week_index)
            lo = min(int(sc.weather.min_week_index), start)
            # Built whole before it is registered: a history the kernel will
            # not take (_Unfit) leaves no key behind pointing at nothing.
            seed = _Seed(sc.params, chains, populations, ages, start, lo, self.weekly(sc.weather, lo, start))
            self._seeds[key] = len(self.seeds)
            self.seeds.append(seed)
        return self._seeds[key]


@dataclasses.dataclass
class _Prepared:
    """A scenario ready for the kernel (or None: the engine runs it)."""

    seed: int
    increments: np.ndarray
    replacements: np.ndarray


def _prepare(scenarios: Sequence[Scenario], prep: _Preparer) -> tuple[list[_Prepared | None], np.ndarray]:
    from py_narvo_pop.parameters import ParameterSet

    ready: list[_Prepared | None] = []
    date_of = np.zeros(len(scenarios), dtype=np.int64)
    curves = _native_curves()
    # What scenarios sharing their weather, inventory, schedule and span share
    # (usually all of them): worked out once.
    shared: dict[tuple[int, ...], list[Any]] = {}
    for s, sc in enumerate(scenarios):
        if not isinstance(sc, Scenario):
            raise TypeError(f"scenario {s} is not a Scenario: {sc!r}")
        first, n = int(sc.start_week_index), int(sc.n_weeks)
        key = (id(sc.weather), id(sc.inventory), id(sc.schedule), first, n)
        common = shared.get(key)
        if common is None:
            native = _native_weather(sc.weather)
            # [date rows, kernel fit, weekly series]; the objects are held so
            # that their ids stay theirs.
            common = shared[key] = [prep.dates(sc.weather, first, n) if native else -1,
                                    curves and native and isinstance(sc.inventory, pd.DataFrame), None,
                                    (sc.weather, sc.inventory, sc.schedule)]
        date_of[s] = common[0]
        item = None
        if common[1] and type(sc.params) is ParameterSet:
            try:
                if common[2] is None:  # read once, and only for a scenario the kernel may run
                    common[2] = (prep.weekly(sc.weather, first, first + n), prep.replacements(sc.schedule, first, n))
                item = _Prepared(prep.seed(sc), *common[2])
            except _Unfit:
                common[1] = common[1] and common[2] is not None  # a series the kernel will not take: none will
                item = None
            except Exception as e:  # a caller's schedule (say) failing: as the run would
                e.add_note(f"in scenario {s}")
                raise
        ready.append(item)
    return ready, date_of


def _rows(rows: list[np.ndarray], count: int, n: int) -> np.ndarray:
    """One row per scenario, or the one row they all share (the kernel takes either)."""
    if not n:
        return np.zeros((count, 0))
    if all(row is rows[0] for row in rows):
        return rows[0]
    return np.stack(rows)


def _row(rows: np.ndarray, i: int) -> np.ndarray:
    """Scenario i's row of a group's series (shared or one per scenario)."""
    return rows if rows.ndim == 1 else rows[i]


def _batches(scenarios: Sequence[Scenario], ready: list[_Prepared | None], prep: _Preparer,
             size: int) -> list[_Batch]:
    out = []
    for lo in range(0, len(scenarios), size):
        groups: dict[tuple[int, int], list[int]] = {}
        engine = []
        for s in range(lo, min(lo + size, len(scenarios))):
            if ready[s] is None:
                engine.append((s, scenarios[s]))
            else:
                sc = scenarios[s]
                groups.setdefault((int(sc.start_week_index), int(sc.n_weeks)), []).append(s)
        batch_groups, seeds = [], {}
        for (first, n), ids in groups.items():
            items = [item for item in (ready[s] for s in ids) if item is not None]
            for item in items:
                seeds[item.seed] = prep.seeds[item.seed]
            batch_groups.append(_Group(
                first, n, np.asarray(ids, dtype=np.int64), [scenarios[s].params for s in ids],
                [item.seed for item in items],
                _rows([item.increments for item in items], len(ids), n),
                _rows([item.replacements for item in items], len(ids), n)))
        out.append(_Batch(seeds, batch_groups, engine))
    return out


# ----------------------------------------------------------------- running


def _engine_values(sc: Scenario, keep: Sequence[int]) -> np.ndarray:
    table = sc.run_engine()
    return np.column_stack([table[COLUMNS[j]].to_numpy(dtype=np.float64) for j in keep]) \
        if len(table) else np.zeros((0, len(keep)))


def _slot(out: np.ndarray | None, ids: np.ndarray, n_weeks: int) -> np.ndarray | None:
    """The block of `out` that scenarios `ids` fill, when they are consecutive and
    fill it whole (the kernel then writes there directly); else None."""
    if out is None or not len(ids) or n_weeks != out.shape[1]:
        return None
    lo = int(ids[0])
    if not np.array_equal(ids, np.arange(lo, lo + len(ids))):
        return None
    return out[lo: lo + len(ids)]


def run_batch(batch: _Batch, keep: Sequence[int], threads: int = 1,
              out: np.ndarray | None = None) -> list[tuple[np.ndarray, np.ndarray | None]]:
    """Run one batch: [(scenario ids, values [scenario, week, kept column])].

    With ``out`` (the whole ensemble's [scenario, week, kept column] array) a
    group of consecutive scenarios is written there directly and its values
    come back as None."""
    parts: list[tuple[np.ndarray, np.ndarray | None]] = []
    # Every seeding of the batch in one call, spread over the threads.
    items = sorted(batch.seeds.items())
    args = [(sd.params, sd.chains, sd.populations, sd.ages, sd.start, sd.first_increment_week, sd.history)
            for _, sd in items]
    states: list[tuple[Any, Any]] = []  # packed rows, or state columns when seeded one by one
    try:
        packed, failed = _farm.seed_many(args, threads=threads)
        states.extend(packed)
    except Exception:
        # An input it could not convert: each seeding on its own, in order,
        # finds the first that fails, whatever the kind of its error.
        states, failed = [], 0
    if failed >= 0:
        for (k, _), arg in zip(items[failed:], args[failed:]):
            try:  # raises the seeding's own error
                states.append(_farm.seed(*arg))
            except Exception as e:
                first = min(int(i) for g in batch.groups for i, j in zip(g.ids, g.seed_of) if j == k)
                e.add_note(f"in scenario {first}")
                raise
    seeded = {k: st for (k, _), st in zip(items, states)}
    keep = list(keep)
    for g in batch.groups:
        pre = [seeded[k][0] for k in g.seed_of]
        post = [seeded[k][1] for k in g.seed_of]
        slot = _slot(out, g.ids, g.n_weeks)
        try:
            values, _ = _farm.run_many(g.params, pre, post, g.first_week, g.increments,
                                       g.replacements, threads=max(1, min(threads, len(g.ids))),
                                       columns=keep, out=slot, final_states=False)
        except Exception:
            # Find the failing scenario by running each on its own.
            for i, s in enumerate(g.ids):
                try:
                    _farm.run(g.params[i], pre[i], post[i], g.first_week, _row(g.increments, i),
                              _row(g.replacements, i))
                except Exception as e:
                    e.add_note(f"in scenario {int(s)}")
                    e._kernel_scenario = int(s)  # type: ignore[attr-defined]
                    raise
            raise
        parts.append((g.ids, None if slot is not None else values))
    for s, sc in batch.engine:
        try:
            parts.append((np.array([s]), _engine_values(sc, keep)[None]))
        except Exception as e:
            e.add_note(f"in scenario {s}")
            raise
    return parts


def _run_locally(batches: list[_Batch], keep: Sequence[int], threads: int, values: np.ndarray,
                 store: Callable[[list[tuple[np.ndarray, np.ndarray | None]]], None]) -> None:
    """Run the batches here, storing their results in scenario order.

    With several threads, two batches' kernel work is in flight at once: while
    one batch runs in the kernel (without the GIL) the next one's inputs are
    converted, so the threads never wait on that serial part (for a moment up
    to twice ``threads`` kernel threads run). That work calls no code of the
    caller's: it reads ParameterSets and the inventories' columns, which must
    not change during the run (as for any run). Scenarios that run through the
    engine, whose inputs are the caller's own objects, run on this thread, in
    order.
    """
    if threads < 2 or len(batches) < 2:
        for batch in batches:
            store(run_batch(batch, keep, threads, out=values))
        return
    from concurrent.futures import ThreadPoolExecutor

    pool = ThreadPoolExecutor(max_workers=2, thread_name_prefix="narvo-ensemble")
    try:
        kernel = [pool.submit(run_batch, _Batch(b.seeds, b.groups, []), keep, threads, values)
                  for b in batches]
        for batch, future in zip(batches, kernel):
            store(future.result())
            if batch.engine:
                store(run_batch(_Batch({}, [], batch.engine), keep, 1))
    finally:
        pool.shutdown(wait=True, cancel_futures=True)


def default_threads() -> int:
    """Threads for the kernel: the CPUs this process may use."""
    try:
        return max(1, len(os.sched_getaffinity(0)))
    except AttributeError:  # pragma: no cover - not on Linux
        return max(1, os.cpu_count() or 1)


def _progress(total: int, progress: bool | None, what: str) -> Any:
    if progress is None:
        progress = sys.stderr.isatty()
    if not progress:
        return None
    try:
        from tqdm import tqdm
    except ImportError:
        return None
    return tqdm(total=total, unit="run", desc=what, leave=False)


def _column_names(columns: Sequence[str] | str | None) -> tuple[str, ...]:
    """The kept columns: all of ``COLUMNS`` for None, one for a single name."""
    names = tuple(COLUMNS if columns is None else (columns,) if isinstance(columns, str) else columns)
    if not names:
        raise ValueError(f"columns names no column; expected some of {list(COLUMNS)}")
    unknown = [c for c in names if c not in COLUMNS]
    if unknown:
        raise ValueError(f"unknown ensemble column(s) {unknown}; expected some of {list(COLUMNS)}")
    return names


def run_ensemble(
    scenarios: Sequence[Scenario],
    *,
    columns: Sequence[str] | None = None,
    threads: int | None = None,
    batch_size: int | None = None,
    client: Any = None,
    progress: bool | None = None,
) -> EnsembleResult:
    """Run every scenario and return their weekly columns.

    ``columns`` picks the weekly columns kept (default: all of ``COLUMNS``; one
    name alone is one column); fewer columns hold less memory. ``threads`` is
    the kernel's thread count (default: the CPUs available). With ``client`` (a
    ``dask.distributed.Client``) batches run on the cluster's workers instead.
    ``progress`` shows a progress bar (default: when stderr is a terminal and
    tqdm is installed).

    A scenario that fails raises its error with a note naming the scenario.
    """
    t0 = time.perf_counter()
    scenarios = list(scenarios)
    names = _column_names(columns)
    keep = [COLUMNS.index(c) for c in names]
    prep = _Preparer()
    ready, date_of = _prepare(scenarios, prep)
    widest = max((int(sc.n_weeks) for sc in scenarios), default=0)
    # Every row is written by its scenario's run (store() pads short ones).
    values = np.empty((len(scenarios), widest, len(keep)))
    n_threads = default_threads() if threads is None else int(threads)
    if n_threads < 1:
        raise ValueError(f"threads must be at least 1, got {threads!r}")

    bar = _progress(len(scenarios), progress, "ensemble")

    def store(parts: list[tuple[np.ndarray, np.ndarray | None]]) -> None:
        for ids, vals in parts:
            if vals is not None:
                values[ids, : vals.shape[1]] = vals
                values[ids, vals.shape[1]:] = np.nan
            if bar is not None:
                bar.update(len(ids))

    try:
        if client is None:
            size = DEFAULT_BATCH if batch_size is None else int(batch_size)
            _run_locally(_batches(scenarios, ready, prep, max(1, size)), keep, n_threads, values, store)
        else:
            _run_on_cluster(client, scenarios, ready, prep, keep, batch_size, store)
    except Exception as e:
        # The kernel stops at the first NaN cohort; the engine says which
        # week's rates made it, and that is the error to raise.
        failed = getattr(e, "_kernel_scenario", None)
        if failed is None:
            raise
        try:
            scenarios[failed].run_engine()
        except Exception as engine_error:
            engine_error.add_note(f"in scenario {failed}")
            raise engine_error from None
        raise
    finally:
        if bar is not None:
            bar.close()

    # Scenarios the engine ran have their dates from their own weather.
    for s, sc in enumerate(scenarios):
        if date_of[s] < 0:
            first, n = int(sc.start_week_index), int(sc.n_weeks)
            date_of[s] = len(prep.date_rows)
            prep.date_rows.append([sc.weather.calendar_date_for_week(w) for w in range(first, first + n)])
    return EnsembleResult(
        columns=names,
        values=values,
        n_weeks=np.array([int(sc.n_weeks) for sc in scenarios], dtype=np.int64),
        start_week_index=np.array([int(sc.start_week_index) for sc in scenarios], dtype=np.int64),
        date_rows=prep.date_rows,
        date_of=date_of,
        kernel_scenarios=sum(r is not None for r in ready),
        seconds=time.perf_counter() - t0,
    )


def run_python_path(scenarios: Sequence[Scenario], *, columns: Sequence[str] | None = None) -> EnsembleResult:
    """The same result as ``run_ensemble``, every scenario through ``NarvoPopEngine``."""
    scenarios = list(scenarios)
    names = _column_names(columns)
    keep = [COLUMNS.index(c) for c in names]
    widest = max((int(sc.n_weeks) for sc in scenarios), default=0)
    values = np.full((len(scenarios), widest, len(keep)), np.nan)
    rows = []
    for s, sc in enumerate(scenarios):
        v = _engine_values(sc, keep)
        values[s, : len(v)] = v
        first = int(sc.start_week_index)
        rows.append([sc.weather.calendar_date_for_week(w) for w in range(first, first + int(sc.n_weeks))])
    return EnsembleResult(names, values, np.array([int(sc.n_weeks) for sc in scenarios], dtype=np.int64),
                          np.array([int(sc.start_week_index) for sc in scenarios], dtype=np.int64),
                          rows, np.arange(len(scenarios), dtype=np.int64))


# -------------------------------------------------------------------- Dask


def _probe_seconds(batch: _Batch, keep: Sequence[int]) -> tuple[float, list[tuple[np.ndarray, np.ndarray | None]]]:
    t = time.perf_counter()
    parts = run_batch(batch, keep, 1)
    return (time.perf_counter() - t) / max(1, batch.size), parts


def _run_on_cluster(client: Any, scenarios: Sequence[Scenario], ready: list[_Prepared | None], prep: _Preparer,
                    keep: Sequence[int], batch_size: int | None,
                    store: Callable[[list[tuple[np.ndarray, np.ndarray | None]]], None]) -> None:
    """Batches of scenarios to the workers of ``client``; results stored in scenario order."""
    if not scenarios:
        return
    start = 0
    if batch_size is None:
        # Time a few scenarios here (their results are kept) to size the tasks.
        probe = min(len(scenarios), 8)
        per, parts = _probe_seconds(_batches(scenarios[:probe], ready[:probe], prep, probe)[0], keep)
        store(parts)
        start = probe
        workers = max(1, len(client.scheduler_info().get("workers", {})) or 1)
        remaining = len(scenarios) - start
        size = max(1, math.ceil(TASK_SECONDS / max(per, 1e-9)))
        # Keep every worker busy: at least two tasks per worker when there are enough scenarios.
        size = min(size, max(1, math.ceil(remaining / (2 * workers))))
    else:
        size = max(1, int(batch_size))
    rest = scenarios[start:]
    if not rest:
        return
    offset_batches = []
    for lo in range(start, len(scenarios), size):
        hi = min(lo + size, len(scenarios))
        sub = _batches(scenarios[lo:hi], ready[lo:hi], prep, hi - lo)[0]
        for g in sub.groups:
            g.ids = g.ids + lo
        sub.engine = [(s + lo, sc) for s, sc in sub.engine]
        offset_batches.append(sub)
    # Batches go to the workers as data, not inside the task graph.
    data = client.scatter(offset_batches, hash=False)
    futures = client.map(run_batch, data, keep=list(keep), threads=1, pure=False)
    from dask.distributed import as_completed

    for future in as_completed(futures):
        store(future.result())
