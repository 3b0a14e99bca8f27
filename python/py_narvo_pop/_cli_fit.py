"""Command line: ``compare`` and ``calibrate``, the commands that use the field records.

``add_parsers(subparsers)`` adds both to the ``narvo-pop`` parser; each handler
returns the exit status and raises ``CliError`` for a one-line fault.
"""

from __future__ import annotations

import argparse
from typing import Any

COMPARE_EPILOG = """\
examples:
  narvo-pop compare
      the example farm's simulated flowering, harvest and suckers against its records
  narvo-pop compare --weather weather.csv --inventory inventory.csv --params parameters.yaml \\
      --start-week 104 --weeks 78 --production production.csv --selection selection.csv \\
      --out joined.csv --plot compare.png
statistics per series over the weeks with an observation: bias (simulated - observed),
MAE, RMSE (plants per week) and the Nash-Sutcliffe efficiency (1 is a perfect fit)
"""

CALIBRATE_EPILOG = """\
examples:
  narvo-pop calibrate
      fit the example farm's flowering threshold and spread and harvest threshold
  narvo-pop calibrate --weather weather.csv --inventory inventory.csv --start-week 104 \\
      --weeks 78 --production production.csv --fit flowering.threshold_dd=1500:2500,harvest.threshold_dd \\
      --budget 3000 --seed 1 --out fitted.yaml --plot fitted.png
      write the fitted parameters to fitted.yaml (use it with --params)
"""


def _inputs(parser: argparse.ArgumentParser) -> None:
    from py_narvo_pop.cli import _date, _weather_options, add_farm_files

    add_farm_files(parser)
    _weather_options(parser)
    start = parser.add_mutually_exclusive_group()
    start.add_argument("--start-week", type=int, dest="start_week", metavar="WEEK",
                       help="first simulated model week (example farm: 104)")
    start.add_argument("--start-date", type=_date, dest="start_date", metavar="YYYY-MM-DD",
                       help="first simulated week given by a calendar date")
    parser.add_argument("--weeks", type=int, default=None,
                        help="weeks to simulate (default: to the end of the records, at most the weather)")
    parser.add_argument("--production", metavar="FILE",
                        help="ribbon production records (bagged: flowering, cut: harvest)")
    parser.add_argument("--selection", metavar="FILE",
                        help="sucker-selection records (kept suckers: the suckers entering the young chain)")
    parser.add_argument("--plot", metavar="FILE", help="observed points over simulated lines (.png, .pdf, .svg)")


def add_parsers(subparsers: Any) -> None:
    """Add the ``compare`` and ``calibrate`` commands."""
    p = subparsers.add_parser(
        "compare", help="simulated against observed: flowering, harvest and suckers",
        description="Simulate the farm and compare its weekly flowering, harvest and suckers with the "
                    "ribbon production and sucker-selection records. Without file options, the example farm.",
        epilog=COMPARE_EPILOG, formatter_class=argparse.RawDescriptionHelpFormatter)
    _inputs(p)
    p.add_argument("--out", metavar="FILE", help="write the joined weekly table (.csv, .xlsx or .parquet)")
    p.set_defaults(func=compare_command)

    c = subparsers.add_parser(
        "calibrate", help="fit parameters to the production and selection records",
        description="Fit the named parameters within bounds so that the simulated series match the records "
                    "(differential evolution, then a local polish). Without file options, the example farm.",
        epilog=CALIBRATE_EPILOG, formatter_class=argparse.RawDescriptionHelpFormatter)
    _inputs(c)
    c.add_argument("--fit", metavar="NAME[=LOW:HIGH],...", default=None,
                   help="parameters to fit by dotted name (default: flowering.threshold_dd, "
                   "flowering.spread, harvest.threshold_dd with their documented bounds)")
    c.add_argument("--budget", type=int, default=2000, help="simulations at most (default 2000)")
    c.add_argument("--seed", type=int, default=0, help="seed of the search (default 0)")
    c.add_argument("--workers", type=int, default=1, help="worker processes (default 1)")
    c.add_argument("--no-progress", action="store_true", help="no progress bar")
    c.add_argument("--out", metavar="FILE", help="write the fitted parameter file (.yaml)")
    c.set_defaults(func=calibrate_command)


class _Setup:
    """Everything both commands read: the farm and its records."""

    def __init__(self, args: argparse.Namespace) -> None:
        from py_narvo_pop import cli
        from py_narvo_pop.calibration import Farm
        from py_narvo_pop.readers.braxen import SuckerSelectionData
        from py_narvo_pop.readers.demmet import PopulationInventoryReader
        from py_narvo_pop.readers.quillet import RibbonProductionData

        own = [args.weather, args.inventory, args.params, args.schedule, args.production, args.selection]
        example = all(x is None for x in own)
        if example:
            args.weather, args.inventory = cli._example("weather.csv"), cli._example("inventory.csv")
            args.params, args.schedule = cli._example("parameters.yaml"), cli._example("schedule.yaml")
            args.production, args.selection = cli._example("production.csv"), cli._example("selection.csv")
        else:
            missing = [o for o, v in (("--weather", args.weather), ("--inventory", args.inventory)) if v is None]
            if missing:
                raise cli.CliError(f"{args.command} with your own files needs {' and '.join(missing)} as well")
            if args.production is None and args.selection is None:
                raise cli.CliError(f"{args.command} needs --production and/or --selection records to compare with")
        cli._check_output(args.plot, "--plot", (".png", ".pdf", ".svg"))
        cli.check_outputs(args)
        if args.weeks is not None and args.weeks < 1:
            raise cli.CliError(f"--weeks must be at least 1, got {args.weeks}")
        self.params = cli._load_params(args.params)
        weather, _, _ = cli.farm_weather(args.weather, self.params, args)
        with cli._Concerning("population inventory file", args.inventory):
            inventory = PopulationInventoryReader.read(args.inventory).data
        schedule = None if args.schedule is None else cli.load_schedule(args.schedule, strict=args.strict)
        self.production = self.selection = None
        if args.production is not None:
            with cli._Concerning("production file", args.production):
                self.production = RibbonProductionData.from_file(args.production, weather).data
            cli._report_quality(cli.record_notices(args.production), args.production, args.strict, "production file")
        if args.selection is not None:
            with cli._Concerning("sucker-selection file", args.selection):
                self.selection = SuckerSelectionData.from_file(args.selection, weather).data
            cli._report_quality(cli.record_notices(args.selection), args.selection, args.strict,
                                "sucker-selection file")
        start = cli._start_week(args, weather, not example)
        cli._check_start(start, inventory, weather, args.inventory, args.weather)
        weeks = args.weeks
        if weeks is None:
            last = max(d.last_week for d in (self.production, self.selection)
                       if d is not None and d.last_week is not None) if self._any_records() else start
            weeks = min(last, weather.max_week_index) - start + 1
        cli.check_span(start, weeks, weather, args.weather)
        if weeks < 1:
            raise cli.CliError(f"nothing to simulate: the records end before week {start}; give --weeks")
        self.farm = Farm(weather, inventory, schedule, start_week_index=start, n_weeks=weeks)

    def _any_records(self) -> bool:
        return any(d is not None and d.last_week is not None for d in (self.production, self.selection))

    def observed(self) -> Any:
        from py_narvo_pop.calibration import observed_series

        return observed_series(self.production, self.selection, self.farm.weather)


def _plot(comparison: Any, path: str, title: str) -> None:
    from py_narvo_pop import cli
    from py_narvo_pop.calibration import OBSERVED_COLUMN

    try:
        import matplotlib
    except ImportError:
        raise cli.CliError("--plot needs matplotlib (pip install 'py_narvo_pop[plot]')") from None
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    names = list(comparison.statistics.index)
    fig, axes = plt.subplots(len(names), 1, figsize=(9, 2.6 * len(names) + 0.6), sharex=True, squeeze=False)
    joined = comparison.joined
    x = joined["date"] if "date" in joined else joined["week_index"]
    for ax, name in zip(axes[:, 0], names):
        ax.plot(x, joined[f"{name}_simulated"], label=f"simulated {name}")
        ax.plot(x, joined[f"{name}_observed"], "o", ms=3, label=f"observed ({OBSERVED_COLUMN[name]})")
        nse = comparison.statistics.loc[name, "nse"]
        ax.set_title(f"{name}: NSE {nse:.3f}", fontsize=10)
        ax.set_ylabel("plants per week")
        ax.grid(alpha=0.3)
        ax.legend(fontsize=8)
    fig.suptitle(title)
    fig.autofmt_xdate()
    fig.tight_layout()
    with cli._Concerning("--plot", path):
        fig.savefig(path, dpi=110)
    plt.close(fig)


def compare_command(args: argparse.Namespace) -> int:
    from py_narvo_pop import cli
    from py_narvo_pop.calibration import compare

    cli._check_output(args.out, "--out", cli.OUT_SUFFIXES)
    setup = _Setup(args)
    result = compare(setup.farm.simulate(setup.params), setup.observed())
    farm = setup.farm
    print(f"weeks {farm.start_week_index}..{farm.start_week_index + farm.n_weeks - 1} "
          f"({farm.weather.calendar_date_for_week(farm.start_week_index)} on)")
    print(result.summary())
    if args.out:
        cli._write_table(result.joined, args.out)
        print(f"wrote {args.out}")
    if args.plot:
        _plot(result, args.plot, "Simulated against observed")
        print(f"wrote {args.plot}")
    return 0


def calibrate_command(args: argparse.Namespace) -> int:
    from py_narvo_pop import cli
    from py_narvo_pop.calibration import calibrate, parse_fit

    if args.out is not None:
        cli._check_output(args.out, "--out", (".yaml", ".yml"))
    if args.budget < 10:
        raise cli.CliError(f"--budget must be at least 10 simulations, got {args.budget}")
    if args.workers < 1:
        raise cli.CliError(f"--workers must be at least 1, got {args.workers}")
    try:
        fit = parse_fit(args.fit)
    except ValueError as exc:
        raise cli.CliError(str(exc)) from None
    setup = _Setup(args)
    try:
        result = calibrate(setup.farm, setup.params, production=setup.production, selection=setup.selection,
                           fit=fit, budget=args.budget, seed=args.seed, workers=args.workers,
                           progress=False if args.no_progress else None)
    except ValueError as exc:
        raise cli.CliError(str(exc)) from exc
    print(f"{result.simulations} simulations in {result.seconds:.1f} s "
          f"({result.simulations / max(result.seconds, 1e-9):.0f} per second)")
    print(f"before (error {result.error_before:.4f}):")
    print(result.before.summary())
    print(f"after (error {result.error_after:.4f}):")
    print(result.after.summary())
    print("fitted values:")
    for name, value in result.values.items():
        low, high = result.bounds[name]
        print(f"  {name} = {value:.6g}   (bounds {low:g}..{high:g})")
    if args.out:
        import yaml

        with cli._Concerning("--out", args.out):
            with open(args.out, "w", encoding="utf-8") as f:
                f.write("# Fitted by narvo-pop calibrate\n")
                yaml.safe_dump(result.params.to_dict(), f, sort_keys=False)
        print(f"wrote {args.out}")
    if args.plot:
        _plot(result.after, args.plot, "After calibration")
        print(f"wrote {args.plot}")
    return 0
