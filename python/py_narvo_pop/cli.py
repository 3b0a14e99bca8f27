"""Command line: simulate a farm from its files, or check one field file.

    python -m py_narvo_pop simulate                  # the shipped example farm
    python -m py_narvo_pop simulate --weather w.csv --inventory inv.csv --params p.yaml
    python -m py_narvo_pop check prod.csv --as production --weather w.csv
"""

from __future__ import annotations

import argparse
import sys
import warnings
from importlib import resources
from pathlib import Path
from typing import Any, Sequence

EXAMPLE_DATA = resources.files("py_narvo_pop") / "example_data"
EXAMPLE_START_WEEK = 104

SIMULATE_EPILOG = """\
examples:
  narvo-pop simulate
      run the shipped example farm for 52 weeks and print the weekly summary
  narvo-pop simulate --weather weather.csv --inventory inventory.csv \\
      --params parameters.yaml --schedule schedule.yaml --start-week 104 --weeks 104 \\
      --out results.csv --plot results.png
      run your own farm; inventory ages are counted at --start-week, and the
      weather file must reach back to the birth of the oldest inventory group
"""

CHECK_EPILOG = """\
examples:
  narvo-pop check weather.csv --as weather
  narvo-pop check inventory.xlsx --as inventory
  narvo-pop check production.csv --as production --weather weather.csv
  narvo-pop check selection.csv --as selection --weather weather.csv
  narvo-pop check schedule.yaml --as schedule
a file that fails its checks prints the reason on one line and exits with status 1
"""

KINDS = ("weather", "inventory", "production", "selection", "schedule")


def _example(name: str) -> Path:
    return Path(str(EXAMPLE_DATA / name))


def _show_notice(message, category, filename, lineno, file=None, line=None):
    print(f"warning: {message}", file=sys.stderr)


def _load_params(path: Path | None):
    from py_narvo_pop.parameters import ParameterSet

    return ParameterSet.from_yaml(path) if path is not None else ParameterSet.default()


def _load_weather(path: Path, params) -> Any:
    from py_narvo_pop.weather import WeatherProvider

    return WeatherProvider.from_file_and_params(path, params)


# ------------------------------------------------------------------ simulate


def _summary(table) -> str:
    header = (
        f"{'date':<10} {'week':>5} {'heat':>7} {'pre-flower':>11} {'post-flower':>11} "
        f"{'flowering':>9} {'harvest':>8} {'deaths':>7} {'suckers':>8} {'replaced':>8}"
    )
    lines = [header, "-" * len(header)]
    for row in table.itertuples(index=False):
        lines.append(
            f"{str(row.date):<10} {row.week_index:>5d} {row.heat_units:>7.1f} "
            f"{row.pre_flowering:>11.1f} {row.post_flowering:>11.1f} {row.flowering:>9.1f} "
            f"{row.harvest:>8.1f} {row.deaths:>7.1f} {row.suckers:>8.1f} {row.replacements:>8.1f}"
        )
    lines.append("-" * len(header))
    lines.append(
        f"{len(table)} weeks: {table['flowering'].sum():.0f} plants flowered, "
        f"{table['harvest'].sum():.0f} harvested, {table['deaths'].sum():.0f} died, "
        f"{table['suckers'].sum():.0f} suckers and {table['replacements'].sum():.0f} "
        f"replacements entered"
    )
    return "\n".join(lines)


def _plot(table, path: Path) -> None:
    try:
        import matplotlib
    except ImportError:  # pragma: no cover - depends on the installation
        raise SystemExit("error: --plot needs matplotlib (pip install 'py_narvo_pop[plot]')")
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    dates = list(table["date"])
    fig, (top, bottom) = plt.subplots(2, 1, figsize=(9, 6), sharex=True)
    top.plot(dates, table["pre_flowering"], label="before flowering")
    top.plot(dates, table["post_flowering"], label="after flowering")
    top.set_ylabel("plants")
    top.legend()
    top.grid(alpha=0.3)
    bottom.plot(dates, table["flowering"], label="flowering")
    bottom.plot(dates, table["harvest"], label="harvest")
    bottom.plot(dates, table["suckers"] + table["replacements"], label="new suckers")
    bottom.set_ylabel("plants per week")
    bottom.legend()
    bottom.grid(alpha=0.3)
    fig.suptitle("Weekly population")
    fig.autofmt_xdate()
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


def simulate(args: argparse.Namespace) -> int:
    from py_narvo_pop.engine import NarvoPopEngine
    from py_narvo_pop.readers.demmet import PopulationInventoryReader
    from py_narvo_pop.toverin import Toverin

    own = any(x is not None for x in (args.weather, args.inventory, args.params, args.schedule))
    weather_path = args.weather or _example("weather.csv")
    inventory_path = args.inventory or _example("inventory.csv")
    params_path = args.params or (None if own else _example("parameters.yaml"))
    schedule_path = args.schedule or (None if own else _example("schedule.yaml"))
    start = args.start_week if args.start_week is not None else (0 if own else EXAMPLE_START_WEEK)

    params = _load_params(params_path)
    weather = _load_weather(weather_path, params)
    inventory = PopulationInventoryReader.read(inventory_path).data
    schedule = Toverin.from_yaml(schedule_path) if schedule_path is not None else None
    engine = NarvoPopEngine(params, weather, inventory, schedule, start_week_index=start)
    table = engine.run(args.weeks)
    print(_summary(table))
    if args.out:
        table.to_csv(args.out, index=False)
        print(f"wrote {args.out}")
    if args.plot:
        _plot(table, args.plot)
        print(f"wrote {args.plot}")
    return 0


# --------------------------------------------------------------------- check


def _weeks_line(first, last) -> str:
    if first is None:
        return "weeks covered: none"
    return f"weeks covered: {first}..{last}"


def check(args: argparse.Namespace) -> int:
    path = args.file
    kind = args.kind
    if kind == "weather":
        from py_narvo_pop.readers.vimlo import WeatherFileReader
        from py_narvo_pop.weather import WeatherProvider

        result = WeatherFileReader.read(path)
        provider = WeatherProvider.from_file(path)
        data = result.data
        print(f"{path}: {len(data)} daily rows from {data['date'].min().date()} to "
              f"{data['date'].max().date()}")
        print(f"week 0 starts {provider.calendar_date_for_week(0)}; "
              + _weeks_line(provider.min_week_index, provider.max_week_index))
    elif kind == "inventory":
        from py_narvo_pop.readers.demmet import PopulationInventoryReader

        result = PopulationInventoryReader.read(path)
        data = result.data
        print(f"{path}: {len(data)} plant groups")
        for chain, group in data.groupby("chain", sort=True):
            print(f"  {chain}: {len(group)} groups, {group['population'].sum():.1f} plants, "
                  f"ages {group['age_weeks'].min()}..{group['age_weeks'].max()} weeks")
    elif kind in ("production", "selection"):
        if kind == "production":
            from py_narvo_pop.readers.quillet import Quillet as Reader
            from py_narvo_pop.readers.quillet import RibbonProductionData as Data
        else:
            from py_narvo_pop.readers.braxen import Braxen as Reader
            from py_narvo_pop.readers.braxen import SuckerSelectionData as Data
        result = Reader.read(path)
        data = result.data
        dates = data["date"].dropna()
        span = f" from {dates.min()} to {dates.max()}" if len(dates) else ""
        extra = f", {data['tag'].nunique()} ribbon tags" if kind == "production" else ""
        print(f"{path}: {len(data)} rows{extra}{span}")
        if args.weather is not None:
            weather = _load_weather(args.weather, _load_params(args.params))
            placed = Data(data, weather)
            print(_weeks_line(placed._first_week, placed._last_week))
        else:
            print("weeks covered: give --weather to place the dates in model weeks")
    else:
        from py_narvo_pop.toverin import Toverin

        schedule = Toverin.from_yaml(path).replacement_schedule
        weeks = sorted(schedule)
        print(f"{path}: replacement suckers in {len(weeks)} weeks, "
              f"{sum(schedule.values()):.1f} in all")
        print(_weeks_line(weeks[0] if weeks else None, weeks[-1] if weeks else None))
        return 0
    with warnings.catch_warnings():
        warnings.simplefilter("always")
        warnings.showwarning = _show_notice
        result.notices.emit_warnings()
    print(f"notices: {len(result.notices)}")
    return 0


# ---------------------------------------------------------------------- main


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="narvo-pop",
        description="Weekly cohort population model of a sucker-propagated perennial crop.",
        formatter_class=argparse.RawDescriptionHelpFormatter,
        epilog="run 'narvo-pop simulate --help' or 'narvo-pop check --help' for examples",
    )
    sub = parser.add_subparsers(dest="command", required=True)

    sim = sub.add_parser(
        "simulate",
        help="run a farm week by week and print the weekly summary",
        description="Seed both chains from an inventory and step them through the weeks. "
        "Without file arguments, runs the shipped example farm.",
        formatter_class=argparse.RawDescriptionHelpFormatter,
        epilog=SIMULATE_EPILOG,
    )
    sim.add_argument("--weather", type=Path, help="daily weather file (.csv, .xlsx, .xls): date, tmean")
    sim.add_argument("--inventory", type=Path, help="population inventory: chain, population, age_weeks")
    sim.add_argument("--schedule", type=Path, help="YAML management schedule (replacement_schedule)")
    sim.add_argument("--params", type=Path, help="YAML parameter file (defaults: ParameterSet.default())")
    sim.add_argument("--weeks", type=int, default=52, help="weeks to simulate (default 52)")
    sim.add_argument("--start-week", type=int, dest="start_week",
                     help="first simulated model week (example farm: 104; own files: 0)")
    sim.add_argument("--out", type=Path, help="write the weekly table to this .csv")
    sim.add_argument("--plot", type=Path, help="write a plot of the run to this .png (needs matplotlib)")
    sim.set_defaults(func=simulate)

    chk = sub.add_parser(
        "check",
        help="read one field file with its reader and report what it found",
        description="Read FILE with the reader for its kind and print what it holds; "
        "notices are shown as warnings.",
        formatter_class=argparse.RawDescriptionHelpFormatter,
        epilog=CHECK_EPILOG,
    )
    chk.add_argument("file", type=Path, metavar="FILE")
    chk.add_argument("--as", dest="kind", choices=KINDS, required=True, help="what the file holds")
    chk.add_argument("--weather", type=Path, help="weather file placing dated records in model weeks")
    chk.add_argument("--params", type=Path, help="YAML parameter file for --weather")
    chk.set_defaults(func=check)
    return parser


def _one_line(exc: BaseException) -> str:
    text = str(exc) if not isinstance(exc, KeyError) else f"missing {exc}"
    return " ".join(text.split()) or type(exc).__name__


def main(argv: Sequence[str] | None = None) -> int:
    import yaml

    from py_narvo_pop.exceptions import NarvoPopError

    args = build_parser().parse_args(argv)
    try:
        return args.func(args)
    except NarvoPopError as exc:
        print(f"error: {_one_line(exc)}", file=sys.stderr)
        return 1
    except (OSError, ValueError, TypeError, KeyError, yaml.YAMLError) as exc:
        print(f"error: {type(exc).__name__}: {_one_line(exc)}", file=sys.stderr)
        return 1


if __name__ == "__main__":  # pragma: no cover
    sys.exit(main())
