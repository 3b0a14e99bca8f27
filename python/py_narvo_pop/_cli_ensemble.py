"""Command line: ``forecast`` and ``sensitivity``, the ensemble commands.

``add_parsers(subparsers)`` adds both to the ``narvo-pop`` parser; each
handler returns the exit status and raises ``CliError`` for a one-line fault.
"""

from __future__ import annotations

import argparse
import contextlib
import datetime as dt
import sys
from collections.abc import Iterator
from typing import Any

FORECAST_EPILOG = """\
examples:
  narvo-pop forecast
      forecast the shipped example farm for 52 weeks after its weather record
  narvo-pop forecast --weather weather.csv --inventory inventory.csv --params parameters.yaml \\
      --start-date 2026-01-05 --weeks 26 --quantiles 0.1,0.5,0.9 --out forecast.csv --plot fan.png
      one member per past year of the weather record; the weekly quantiles of harvest
  narvo-pop forecast --param-sets fit1.yaml fit2.yaml fit3.yaml
      every weather year crossed with three parameter sets (say, from three calibrations)
  narvo-pop forecast --workers 2
      the same on a local Dask cluster of two worker processes
"""

SENSITIVITY_EPILOG = """\
examples:
  narvo-pop sensitivity
      Sobol indices of the example farm's harvest for six parameters, 256 base samples
  narvo-pop sensitivity --fit flowering.threshold_dd=1600:2400,harvest.hazard_weeks --samples 1024 \\
      --plot sensitivity.png
      a parameter without a range varies by +-20 % around its value
"""


def _add_cluster_options(p: argparse.ArgumentParser) -> None:
    g = p.add_argument_group("where the ensemble runs")
    g.add_argument("--threads", type=int, default=None,
                   help="kernel threads on this machine (default: the CPUs available)")
    g.add_argument("--scheduler", metavar="ADDRESS", default=None,
                   help="run on the Dask cluster of this scheduler (tcp://host:8786)")
    g.add_argument("--workers", type=int, default=None, metavar="N",
                   help="run on a local Dask cluster of N worker processes")
    g.add_argument("--no-progress", action="store_true", help="no progress bar")


def add_parsers(subparsers: Any) -> None:
    """Add the ``forecast`` and ``sensitivity`` commands."""
    from py_narvo_pop import cli

    p = subparsers.add_parser(
        "forecast", help="weekly harvest quantiles under every past year's weather",
        description="Forecast the farm from its inventory at a start date, one member per past year "
                    "of the weather record, and print the weekly quantiles of harvest.",
        epilog=FORECAST_EPILOG, formatter_class=argparse.RawDescriptionHelpFormatter)
    cli.add_farm_files(p)
    cli._weather_options(p)
    p.add_argument("--start-date", type=_date, default=None,
                   help="first day of the forecast, YYYY-MM-DD (default: the day after the weather record)")
    p.add_argument("--weeks", type=int, default=52, help="weeks ahead (default 52)")
    p.add_argument("--param-sets", nargs="+", metavar="FILE", default=None,
                   help="YAML parameter files to cross with the weather years, one member per (year, "
                        "file); each must have the base temperature and week length of --params")
    p.add_argument("--quantiles", default="0.1,0.5,0.9", help="quantile levels (default 0.1,0.5,0.9)")
    p.add_argument("--out", help="write the quantile table (.csv, .xlsx or .parquet)")
    p.add_argument("--plot", help="draw the harvest fan chart (.png, .pdf or .svg)")
    _add_cluster_options(p)
    p.set_defaults(func=forecast_command)

    s = subparsers.add_parser(
        "sensitivity", help="Sobol indices of the yearly harvest and flowering",
        description="First-order and total Sobol indices of the harvest and flowering per 52 weeks "
                    "for the named parameters, from one native ensemble.",
        epilog=SENSITIVITY_EPILOG, formatter_class=argparse.RawDescriptionHelpFormatter)
    cli.add_farm_files(s)
    cli._weather_options(s)
    s.add_argument("--start-week", type=int, default=None,
                   help=f"first model week (default {cli.EXAMPLE_START_WEEK})")
    s.add_argument("--weeks", type=int, default=52, help="weeks per run (default 52)")
    s.add_argument("--fit", default=None, metavar="NAME[=LOW:HIGH],...",
                   help="parameters to vary (default: thresholds, harvest weeks and death rates)")
    s.add_argument("--samples", type=int, default=256, help="base sample size N, a power of two (default 256)")
    s.add_argument("--seed", type=int, default=0, help="sampling seed (default 0)")
    s.add_argument("--out", help="write the indices (.csv, .xlsx or .parquet)")
    s.add_argument("--plot", help="draw the indices (.png, .pdf or .svg)")
    _add_cluster_options(s)
    s.set_defaults(func=sensitivity_command)


@contextlib.contextmanager
def dask_client(scheduler: str | None, workers: int | None) -> Iterator[Any]:
    """A Dask client for --scheduler or --workers, or None for a local run."""
    from py_narvo_pop.cli import CliError

    if scheduler is None and workers is None:
        yield None
        return
    if scheduler is not None and workers is not None:
        raise CliError("--scheduler and --workers exclude each other")
    if workers is not None and workers < 1:
        raise CliError(f"--workers must be at least 1, got {workers}")
    from py_narvo_pop.ensemble import default_threads

    cpus = default_threads()
    if workers is not None and workers > cpus:
        print(f"warning: --workers {workers} on {cpus} CPU(s): each worker is a process of its own, and "
              "more than the CPUs only adds start-up time", file=sys.stderr)
    try:
        from dask.distributed import Client, LocalCluster
    except ImportError:
        raise CliError("--scheduler and --workers need Dask (pip install 'py_narvo_pop[dask]')") from None
    if scheduler is not None:
        with _connect(Client, scheduler) as client:
            yield client
        return
    with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                      dashboard_address=":0") as cluster, Client(cluster) as client:
        yield client


#: Seconds a scheduler has to answer before --scheduler gives up.
CONNECT_SECONDS = 10.0


def _connect(client_type: Any, address: str) -> Any:
    """A client of the scheduler at ``address``, or one CliError line.

    The attempt runs on a thread of its own with a deadline: a service that
    is not a Dask scheduler (its dashboard, say) may accept the connection
    and never answer the handshake, or answer with bytes that are not Dask's
    protocol."""
    import threading

    from py_narvo_pop.cli import CliError

    box: dict[str, Any] = {}
    lock, abandoned = threading.Lock(), threading.Event()

    def attempt() -> None:
        try:
            client = client_type(address, timeout=CONNECT_SECONDS)
        except BaseException as e:  # noqa: BLE001 - reported below, whatever it is
            box["error"] = e
            return
        with lock:
            late = abandoned.is_set()
            if not late:
                box["client"] = client
        if late:  # given up on: nobody will close it
            client.close()

    thread = threading.Thread(target=attempt, name="narvo-pop-connect", daemon=True)
    thread.start()
    thread.join(CONNECT_SECONDS + 5.0)
    with lock:
        if "client" not in box and "error" not in box:
            abandoned.set()
    hint = "give the scheduler's address (tcp://HOST:8786 by default), not its dashboard's"
    if abandoned.is_set():
        raise CliError(f"--scheduler {address!r}: no Dask scheduler answered within "
                       f"{CONNECT_SECONDS + 5.0:g} s; {hint}")
    if "error" in box:
        e = box["error"]
        raise CliError(f"--scheduler {address!r}: cannot connect to a Dask scheduler there "
                       f"({type(e).__name__}: {' '.join(str(e).split())}); {hint}") from e
    return box["client"]


def _date(text: str) -> dt.date:
    from py_narvo_pop.cli import _date as parse

    return parse(text)


def _inputs(args: argparse.Namespace) -> tuple[Any, Any, Any, bool]:
    """(params, inventory, schedule, whether the example farm is used)."""
    from py_narvo_pop import cli
    from py_narvo_pop.readers.demmet import PopulationInventoryReader

    example = args.weather is None and args.inventory is None
    if not example and (args.weather is None or args.inventory is None):
        raise cli.CliError("give both --weather and --inventory (or neither, for the example farm)")
    params_path = args.params if args.params is not None or not example else cli._example("parameters.yaml")
    params = cli._load_params(params_path)
    inv_path = args.inventory if not example else cli._example("inventory.csv")
    with cli._Concerning("inventory file", inv_path):
        inventory = PopulationInventoryReader.read(inv_path).data
    sched_path = args.schedule if args.schedule is not None else (cli._example("schedule.yaml") if example else None)
    schedule = None if sched_path is None else cli.load_schedule(sched_path, strict=args.strict)
    return params, inventory, schedule, example


def _check_common(args: argparse.Namespace) -> None:
    from py_narvo_pop import cli

    cli._check_output(args.out, "--out", cli.OUT_SUFFIXES)
    cli._check_output(args.plot, "--plot", (".png", ".pdf", ".svg"))
    cli.check_outputs(args)
    if args.weeks < 1:
        raise cli.CliError(f"--weeks must be at least 1, got {args.weeks}")
    if args.threads is not None and args.threads < 1:
        raise cli.CliError(f"--threads must be at least 1, got {args.threads}")


def _quantiles(text: str) -> list[float]:
    from py_narvo_pop.cli import CliError

    try:
        levels = [float(x) for x in text.split(",") if x.strip()]
    except ValueError:
        levels = []
    if not levels or any(not 0.0 <= q <= 1.0 for q in levels):
        raise CliError(f"--quantiles {text!r}: expected comma-separated levels in [0, 1], e.g. 0.1,0.5,0.9")
    return sorted(set(levels))


def _write_outputs(args: argparse.Namespace, table: Any, plot: Any) -> None:
    """--out (the table, in the format its suffix names) and --plot, each reported."""
    from py_narvo_pop import cli

    if args.out:
        cli._write_table(table, args.out)
        print(f"wrote {args.out}")
    if args.plot:
        with cli._Concerning("--plot", args.plot):
            plot(args.plot)
        print(f"wrote {args.plot}")


def forecast_command(args: argparse.Namespace) -> int:
    from py_narvo_pop import cli
    from py_narvo_pop.forecast import forecast, weather_mismatch

    _check_common(args)
    levels = _quantiles(args.quantiles)
    params, inventory, schedule, example = _inputs(args)
    weather_path = args.weather if not example else cli._example("weather.csv")
    _, daily, columns = cli.farm_weather(weather_path, params, args)
    start = args.start_date
    if start is None:
        start = daily["date"].max().date() + dt.timedelta(days=1)
    sets = None
    if args.param_sets is not None:
        sets = [cli._load_params(path) for path in args.param_sets]
        for path, p in zip(args.param_sets, sets):
            fault = weather_mismatch(params, p)
            if fault:
                raise cli.CliError(f"--param-sets {path} {fault} (--params)")
    with dask_client(args.scheduler, args.workers) as client:
        result = forecast(daily, params, inventory, schedule, start_date=start, n_weeks=args.weeks,
                          param_sets=sets, quantiles=levels, columns=columns, threads=args.threads,
                          client=client, progress=False if args.no_progress else None)
    years = int(result.members["year_offset"].nunique())
    if years < 5:
        print(f"warning: only {years} weather year(s) cover the same weeks in the record: the quantiles say "
              "little about the spread the weather gives the harvest", file=sys.stderr)
    print(result.summary("harvest"))
    _write_outputs(args, result.quantiles, result.plot)
    return 0


def sensitivity_command(args: argparse.Namespace) -> int:
    from py_narvo_pop import cli
    from py_narvo_pop.sensitivity import parse_names, sensitivity

    _check_common(args)
    try:
        import SALib  # noqa: F401
    except ImportError:
        raise cli.CliError("sensitivity needs SALib (pip install 'py_narvo_pop[sensitivity]')") from None
    params, inventory, schedule, example = _inputs(args)
    weather_path = args.weather if not example else cli._example("weather.csv")
    weather, _, _ = cli.farm_weather(weather_path, params, args)
    start = args.start_week if args.start_week is not None else cli.EXAMPLE_START_WEEK
    inv_path = args.inventory if not example else cli._example("inventory.csv")
    cli._check_start(start, inventory, weather, inv_path, weather_path)
    cli.check_span(start, args.weeks, weather, weather_path)
    try:
        names = parse_names(args.fit)
    except ValueError as e:
        raise cli.CliError(f"--fit: {e}") from e
    with dask_client(args.scheduler, args.workers) as client:
        result = sensitivity(params, weather, inventory, schedule, start_week_index=start,
                             n_weeks=args.weeks, names=names, samples=args.samples, seed=args.seed,
                             threads=args.threads, client=client,
                             progress=False if args.no_progress else None)
    print(result.summary())
    _write_outputs(args, result.indices, result.plot)
    return 0
