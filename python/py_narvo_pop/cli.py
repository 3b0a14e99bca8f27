"""Command line: simulate a farm from its files, or check one field file.

    python -m py_narvo_pop simulate                  # the shipped example farm
    python -m py_narvo_pop simulate --weather w.csv --inventory inv.csv --params p.yaml
    python -m py_narvo_pop check prod.csv --as production --weather w.csv
"""

from __future__ import annotations

import argparse
import datetime as dt
import importlib.util
import sys
import warnings
from collections.abc import Iterable
from importlib import resources
from pathlib import Path
from types import TracebackType
from typing import TYPE_CHECKING, Any, Literal, Sequence, TextIO

if TYPE_CHECKING:
    import pandas as pd

    from py_narvo_pop.notices import NoticeLog, ReadResult
    from py_narvo_pop.parameters import ParameterSet
    from py_narvo_pop.quality import QualityNotice
    from py_narvo_pop.readers.braxen import Braxen, SuckerSelectionData
    from py_narvo_pop.readers.quillet import Quillet, RibbonProductionData
    from py_narvo_pop.toverin import Toverin
    from py_narvo_pop.weather import ColumnMap, WeatherProvider

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
OUT_SUFFIXES = (".csv", ".xlsx", ".parquet")


class CliError(Exception):
    """A fault the command line reports on one line (already naming its file)."""


def _example(name: str) -> str:
    return str(EXAMPLE_DATA / name)


def _show_notice(message: Warning | str, category: type[Warning], filename: str, lineno: int,
                 file: TextIO | None = None, line: str | None = None) -> None:
    print(f"warning: {message}", file=sys.stderr)


class _Concerning:
    """Report any error raised inside the block as one line naming ``path``."""

    def __init__(self, what: str, path: str) -> None:
        self.what, self.path = what, path

    def __enter__(self) -> None:
        return None

    def __exit__(self, kind: type[BaseException] | None, exc: BaseException | None,
                 tb: TracebackType | None) -> Literal[False]:
        if exc is None or isinstance(exc, (CliError, KeyboardInterrupt, SystemExit)):
            return False
        if isinstance(exc, FileNotFoundError) and not Path(self.path).exists():
            raise CliError(f"{self.what} {self.path!r}: file not found") from exc
        if isinstance(exc, IsADirectoryError):
            raise CliError(f"{self.what} {self.path!r} is a folder, not a file") from exc
        if isinstance(exc, UnicodeDecodeError):
            raise CliError(f"{self.what} {self.path!r} is not UTF-8 text{_first_bad_byte(self.path)}; "
                           + ("save it as UTF-8 CSV, or give the spreadsheet itself (.xlsx)"
                              if Path(self.path).suffix.lower() == ".csv" else "save it as UTF-8")) from exc
        text = _one_line(exc)
        if self.path in text:
            raise CliError(text) from exc
        reason = f"{type(exc).__name__}: {text}" if not _plain_error(exc) else text
        raise CliError(f"{self.what} {self.path!r}: {reason}") from exc


def _first_bad_byte(path: str) -> str:
    """Where a file stops being UTF-8: " (line N has byte 0x..)", or nothing if it cannot tell."""
    try:
        data = Path(path).read_bytes()
        data.decode("utf-8")
    except UnicodeDecodeError as e:
        return f" (line {data.count(b'\n', 0, e.start) + 1} has byte {data[e.start]:#04x})"
    except OSError:
        pass
    return ""


def _plain_error(exc: BaseException) -> bool:
    """Errors whose message says it all: the package's own, and bad values."""
    from py_narvo_pop.exceptions import NarvoPopError

    return isinstance(exc, (NarvoPopError, ValueError))


def _load_params(path: str | None) -> ParameterSet:
    from py_narvo_pop.parameters import ParameterSet

    if path is None:
        return ParameterSet.default()
    with _Concerning("parameter file", path):
        return ParameterSet.from_yaml(path)


def _weather_columns(args: argparse.Namespace) -> ColumnMap:
    from py_narvo_pop.weather import ColumnMap

    if args.heat_units_column is not None:
        return ColumnMap(date=args.date_column, tmean=None, heat_units=args.heat_units_column)
    return ColumnMap(date=args.date_column, tmean=args.tmean_column)


def _raw_table(path: str, sep: str | None) -> pd.DataFrame:
    """The weather file as it stands, for the quality checks and the column options."""
    import pandas as pd

    suffix = Path(path).suffix.lower()
    if not Path(path).exists():
        raise FileNotFoundError(f"file not found: {path}")
    if suffix == ".csv":
        if sep is None:
            return pd.read_csv(path)
        return pd.read_csv(path, sep=sep, decimal="," if sep == ";" else ".")
    if suffix in (".xlsx", ".xls"):
        return pd.read_excel(path)
    raise ValueError(f"unsupported file type {suffix!r}; expected .csv, .xlsx or .xls")


def _needs_own_loading(args: argparse.Namespace) -> bool:
    return args.sep is not None or args.tmin_column is not None


def _load_weather(path: str, params: ParameterSet, args: argparse.Namespace
                  ) -> tuple[WeatherProvider, pd.DataFrame]:
    """(provider, raw table) of a weather file, read with the command line's column options."""
    weather, raw, _, _ = _load_daily(path, params, args)
    return weather, raw


def _load_daily(path: str, params: ParameterSet, args: argparse.Namespace
                ) -> tuple[WeatherProvider, pd.DataFrame, pd.DataFrame, ColumnMap]:
    """(provider, raw table, daily table, its column map) of a weather file,
    read with the command line's column options.

    Plain files go through the weather reader. A file with another separator,
    or with daily minimum and maximum instead of a mean, is loaded here: the
    daily mean is (tmin + tmax) / 2 and the dates are parsed as the reader
    parses them. The daily table has the reader's columns: date, and tmean or
    heat_units.
    """
    import pandas as pd

    from py_narvo_pop.readers.vimlo import WeatherFileReader
    from py_narvo_pop.weather import ColumnMap, WeatherProvider

    columns = _weather_columns(args)
    heat_units = args.heat_units_column is not None
    canonical = ColumnMap(date="date", tmean=None, heat_units="heat_units") if heat_units else ColumnMap()
    with _Concerning("weather file", path):
        raw = _raw_table(path, args.sep)
        if not _needs_own_loading(args):
            daily = WeatherFileReader.read(path, columns).data
            return WeatherProvider.from_params(daily, params, canonical), raw, daily, canonical
        value = [args.heat_units_column] if heat_units else (
            [args.tmin_column, args.tmax_column] if args.tmin_column is not None
            else [args.tmean_column])
        needed = [args.date_column, *value]
        missing = [c for c in needed if c not in raw.columns]
        if missing:
            raise CliError(f"weather file {path!r} missing required column(s): {missing}; "
                           f"found columns: {list(raw.columns)}")
        dates = pd.to_datetime(raw[args.date_column], format="mixed")
        if heat_units:
            daily = pd.DataFrame({"date": dates, "heat_units": pd.to_numeric(raw[value[0]])})
        else:
            if args.tmin_column is not None:
                tmean = (pd.to_numeric(raw[value[0]]) + pd.to_numeric(raw[value[1]])) / 2.0
            else:
                tmean = pd.to_numeric(raw[value[0]])
            daily = pd.DataFrame({"date": dates, "tmean": tmean})
        return WeatherProvider.from_params(daily, params, canonical), raw, daily, canonical


def farm_weather(path: str, params: ParameterSet, args: argparse.Namespace
                 ) -> tuple[WeatherProvider, pd.DataFrame, ColumnMap]:
    """A command's weather: (provider, daily table, its column map), the file's
    quality notices shown as warnings (errors with --strict)."""
    weather, raw, daily, columns = _load_daily(path, params, args)
    _report_quality(_quality(raw, args, weather), path, args.strict)
    return weather, daily, columns


def _quality(raw: pd.DataFrame, args: argparse.Namespace, weather: WeatherProvider
             ) -> list[QualityNotice]:
    from py_narvo_pop.quality import check_weather

    if args.heat_units_column is not None:
        temperatures: tuple[str, ...] = ()
    elif args.tmin_column is not None:
        temperatures = (args.tmin_column, args.tmax_column)
    else:
        temperatures = (args.tmean_column,)
    return check_weather(
        raw, date=args.date_column, temperatures=temperatures, heat_units=args.heat_units_column,
        week_length_days=(weather.calendar_date_for_week(1) - weather.calendar_date_for_week(0)).days,
        run_start_date=weather.calendar_date_for_week(0),
    )


def _report_quality(notices: list[QualityNotice], path: str, strict: bool, what: str = "weather file") -> None:
    if strict and notices:
        raise CliError(f"{what} {path!r} failed {len(notices)} quality check(s) (--strict); "
                       f"first: {notices[0]}")
    for notice in notices:
        print(f"warning: {path}: {notice}", file=sys.stderr)


# ------------------------------------------------------------------ simulate


def _summary(table: pd.DataFrame) -> str:
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
        f"{table['pruned'].sum():.0f} pruned, "
        f"{table['suckers'].sum():.0f} suckers and {table['replacements'].sum():.0f} "
        f"replacements entered"
    )
    return "\n".join(lines)


def _plot(table: pd.DataFrame, path: Path) -> None:
    import matplotlib

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


def _check_output(path: str | None, option: str, suffixes: tuple[str, ...]) -> None:
    """Refuse an output path before the run: its folder must exist, its suffix be known."""
    if path is None:
        return
    if Path(path).is_dir():
        raise CliError(f"{option} {path!r} is a folder; give a file name")
    folder = Path(path).parent
    if not folder.is_dir():
        raise CliError(f"{option} {path!r}: folder {str(folder)!r} does not exist")
    suffix = Path(path).suffix.lower()
    if suffix not in suffixes:
        raise CliError(f"{option} {path!r}: unsupported suffix {suffix!r}; "
                       f"expected one of {', '.join(suffixes)}")
    if suffix == ".parquet" and importlib.util.find_spec("pyarrow") is None:
        raise CliError(f"{option} {path!r}: writing .parquet needs pyarrow (pip install pyarrow)")
    if suffix == ".xlsx" and importlib.util.find_spec("openpyxl") is None:
        raise CliError(f"{option} {path!r}: writing .xlsx needs openpyxl (pip install openpyxl)")
    if option == "--plot" and importlib.util.find_spec("matplotlib") is None:
        raise CliError("--plot needs matplotlib (pip install 'py_narvo_pop[plot]')")


#: The options naming files a command reads.
INPUT_OPTIONS = ("weather", "inventory", "params", "schedule", "production", "selection", "param_sets")


def check_outputs(args: argparse.Namespace, outputs: Sequence[str] = ("out", "plot")) -> None:
    """Refuse an output option that names one of the command's input files:
    writing the results there would destroy the input."""
    inputs: list[tuple[str, str]] = []
    for name in INPUT_OPTIONS:
        value = getattr(args, name, None)
        for path in ([] if value is None else value if isinstance(value, list) else [value]):
            inputs.append((name, path))
    for out in outputs:
        target = getattr(args, out, None)
        if target is None:
            continue
        for name, path in inputs:
            if Path(target).resolve() == Path(path).resolve():
                option = "--" + name.replace("_", "-")
                raise CliError(f"--{out} {target!r} is the {option} file; writing there would replace it "
                               "with the results: give another file name")


def record_notices(path: str) -> list[QualityNotice]:
    """Quality notices of a production or selection file as it stands (its dates)."""
    from py_narvo_pop.quality import check_record_dates

    try:
        raw = _raw_table(path, None)
    except Exception:  # noqa: BLE001 - the reader reports what it cannot read
        return []
    return check_record_dates(raw)


def load_schedule(path: str, *, warn: bool = True, strict: bool = False) -> Toverin:
    """The schedule file, its amounts checked as a run checks them; with
    ``warn``, what it holds but does not read is shown as warnings (errors
    with ``strict``)."""
    from py_narvo_pop.engine import check_schedule
    from py_narvo_pop.quality import check_schedule_file
    from py_narvo_pop.toverin import Toverin

    with _Concerning("schedule file", path):
        schedule = Toverin.from_yaml(path)
        check_schedule(schedule)
    if warn:
        _report_quality(check_schedule_file(path), path, strict, "schedule file")
    return schedule


def _write_table(table: pd.DataFrame, path: str) -> None:
    suffix = Path(path).suffix.lower()
    with _Concerning("--out", path):
        if suffix == ".csv":
            table.to_csv(path, index=False)
        elif suffix == ".xlsx":
            table.to_excel(path, index=False, sheet_name="weekly")
        else:
            table.to_parquet(path, index=False)


def _start_week(args: argparse.Namespace, weather: WeatherProvider, own: bool) -> int:
    if args.start_date is not None:
        return weather.week_index_for_date(args.start_date)
    if args.start_week is not None:
        start: int = args.start_week
        return start
    if own:
        raise CliError(f"{args.command} with your own files needs --start-week or --start-date "
                       "(the week at which the inventory's ages are counted)")
    return EXAMPLE_START_WEEK


def check_span(start: int, weeks: int, weather: WeatherProvider, weather_path: str) -> None:
    """Refuse a run of ``weeks`` weeks from ``start`` that the weather does not cover, saying what would fit."""
    last_week = weather.max_week_index
    last_day = weather.calendar_date_for_week(last_week)
    if start > last_week:
        raise CliError(f"the run would start in week {start}, after the last week of weather file "
                       f"{weather_path!r} (week {last_week}, from {last_day}); start at week {last_week} "
                       f"or earlier")
    if weeks and start + weeks - 1 > last_week:
        raise CliError(
            f"weather file {weather_path!r} ends with week {last_week} ({last_day}); --weeks {weeks} "
            f"from week {start} needs weather to week {start + weeks - 1}: use --weeks "
            f"{last_week - start + 1} or fewer")


def _earliest_start(inventory: pd.DataFrame, weather: WeatherProvider) -> int | None:
    """The first start week from which every inventory group's history is in the weather."""
    ages = inventory["age_weeks"].dropna().astype("int64")
    oldest = int(ages.max()) if len(ages) else 0
    if oldest < 2:  # age 0 or 1: nothing to replay
        return None
    return weather.min_week_index + oldest - 1


def _check_start(start: int, inventory: pd.DataFrame, weather: WeatherProvider, inventory_path: str,
                 weather_path: str) -> None:
    earliest = _earliest_start(inventory, weather)
    if earliest is None or start >= earliest:
        return
    oldest = earliest - weather.min_week_index + 1
    raise CliError(
        f"inventory {inventory_path!r}: its oldest group ({oldest} weeks at week {start}) was born "
        f"before the weather file {weather_path!r} begins "
        f"({weather.calendar_date_for_week(weather.min_week_index)}); "
        f"use --start-week {earliest} or later "
        f"(or --start-date {weather.calendar_date_for_week(earliest)})"
    )


def simulate(args: argparse.Namespace) -> int:
    from py_narvo_pop.engine import NarvoPopEngine
    from py_narvo_pop.readers.demmet import PopulationInventoryReader

    given = {"--weather": args.weather, "--inventory": args.inventory,
             "--params": args.params, "--schedule": args.schedule}
    own = any(value is not None for value in given.values())
    if own:
        missing = [name for name in ("--weather", "--inventory") if given[name] is None]
        if missing:
            raise CliError(f"simulate with your own files needs {' and '.join(missing)} as well "
                           "(run without file options for the example farm)")
        weather_path, inventory_path = args.weather, args.inventory
        params_path, schedule_path = args.params, args.schedule
    else:
        weather_path, inventory_path = _example("weather.csv"), _example("inventory.csv")
        params_path, schedule_path = _example("parameters.yaml"), _example("schedule.yaml")
    _check_output(args.out, "--out", OUT_SUFFIXES)
    _check_output(args.plot, "--plot", (".png", ".pdf", ".svg"))
    check_outputs(args)
    if args.weeks < 0:
        raise CliError(f"--weeks must be 0 or more, got {args.weeks}")

    params = _load_params(params_path)
    weather, _, _ = farm_weather(weather_path, params, args)
    with _Concerning("population inventory file", inventory_path):
        inventory = PopulationInventoryReader.read(inventory_path).data
    schedule = None if schedule_path is None else load_schedule(schedule_path, strict=args.strict)
    start = _start_week(args, weather, own)
    _check_start(start, inventory, weather, inventory_path, weather_path)
    check_span(start, args.weeks, weather, weather_path)
    with _Concerning("population inventory file", inventory_path):
        engine = NarvoPopEngine(params, weather, inventory, schedule, start_week_index=start)
    table = engine.run(args.weeks)
    print(_summary(table))
    if args.out:
        _write_table(table, args.out)
        print(f"wrote {args.out}")
    if args.plot:
        _plot(table, args.plot)
        print(f"wrote {args.plot}")
    return 0


# --------------------------------------------------------------------- check


def _weeks_line(first: int | None, last: int | None) -> str:
    if first is None:
        return "weeks covered: none"
    return f"weeks covered: {first}..{last}"


def _record_weeks(dates: Iterable[Any], weather: WeatherProvider) -> tuple[int | None, int | None]:
    weeks = sorted({weather.week_index_for_date(d) for d in _as_dates(dates)})
    return (weeks[0], weeks[-1]) if weeks else (None, None)


def _as_dates(values: Iterable[Any]) -> list[dt.date]:
    import pandas as pd

    parsed = pd.to_datetime(pd.Series(list(values), dtype=object), errors="coerce").dropna()
    return [d.date() for d in parsed]


def _emit(notices: NoticeLog) -> None:
    with warnings.catch_warnings():
        warnings.simplefilter("always")
        warnings.showwarning = _show_notice
        notices.emit_warnings()


def _check_weather(path: str, args: argparse.Namespace) -> list[QualityNotice]:
    weather, raw = _load_weather(path, _load_params(args.params), args)
    dates = _as_dates(raw[args.date_column])
    print(f"{path}: {len(raw)} daily rows from {min(dates)} to {max(dates)}")
    print(f"week 0 starts {weather.calendar_date_for_week(0)}; "
          + _weeks_line(weather.min_week_index, weather.max_week_index))
    return _quality(raw, args, weather)


def _check_records(path: str, kind: str, args: argparse.Namespace
                   ) -> tuple[ReadResult[pd.DataFrame], list[QualityNotice]]:
    from py_narvo_pop.quality import check_coverage

    Reader: type[Quillet] | type[Braxen]
    Data: type[RibbonProductionData] | type[SuckerSelectionData]
    if kind == "production":
        from py_narvo_pop.readers.quillet import Quillet, RibbonProductionData
        Reader, Data = Quillet, RibbonProductionData
        what = "ribbon production file"
    else:
        from py_narvo_pop.readers.braxen import Braxen, SuckerSelectionData
        Reader, Data = Braxen, SuckerSelectionData
        what = "sucker selection file"
    with _Concerning(what, path):
        result = Reader.read(path)
    notices = record_notices(path)
    data = result.data
    dates = data["date"].dropna()
    span = f" from {dates.min()} to {dates.max()}" if len(dates) else ""
    extra = f", {data['tag'].nunique()} ribbon tags" if kind == "production" else ""
    print(f"{path}: {len(data)} rows{extra}{span}")
    if args.weather is None:
        print("weeks covered: give --weather to place the dates in model weeks")
        return result, notices
    weather, _ = _load_weather(args.weather, _load_params(args.params), args)
    with _Concerning(what, path):
        Data(data, weather)
    print(_weeks_line(*_record_weeks(dates, weather)))
    last_day = weather.calendar_date_for_week(weather.max_week_index + 1) - dt.timedelta(days=1)
    return result, notices + check_coverage(dates, weather.calendar_date_for_week(weather.min_week_index),
                                            last_day)


def check(args: argparse.Namespace) -> int:
    path = args.file
    kind = args.kind
    quality: list[QualityNotice] = []
    result: ReadResult[pd.DataFrame] | None = None
    if kind == "weather":
        quality = _check_weather(path, args)
    elif kind == "inventory":
        from py_narvo_pop.readers.demmet import PopulationInventoryReader

        from py_narvo_pop.quality import check_inventory_table

        with _Concerning("population inventory file", path):
            result = PopulationInventoryReader.read(path)
        data = result.data
        quality = check_inventory_table(data)
        print(f"{path}: {len(data)} plant groups")
        for chain, group in data.groupby("chain", sort=True):
            print(f"  {chain}: {len(group)} groups, {group['population'].sum():.1f} plants, "
                  f"ages {group['age_weeks'].min()}..{group['age_weeks'].max()} weeks")
    elif kind in ("production", "selection"):
        result, quality = _check_records(path, kind, args)
    else:
        from py_narvo_pop.quality import check_schedule_file

        toverin = load_schedule(path, warn=False)
        quality = check_schedule_file(path)
        schedule = toverin.replacement_schedule
        weeks = sorted(schedule)
        print(f"{path}: replacement suckers in {len(weeks)} weeks, "
              f"{sum(schedule.values()):.1f} in all")
        print(_weeks_line(weeks[0] if weeks else None, weeks[-1] if weeks else None))
    _report_quality(quality, path, args.strict, f"{kind} file")
    count = len(quality)
    if result is not None:
        _emit(result.notices)
        count += len(result.notices)
    print(f"notices: {count}")
    return 0


# ---------------------------------------------------------------------- main


def _date(text: str) -> dt.date:
    try:
        return dt.date.fromisoformat(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a calendar date (YYYY-MM-DD): {text!r}") from None


def _weather_options(parser: argparse.ArgumentParser) -> None:
    group = parser.add_argument_group(
        "weather file columns",
        "Temperatures are daily values in °C; heat units are daily degree-days above the base "
        "temperature (base_temperature_c in the parameters, 14 °C by default).")
    group.add_argument("--date-column", default="date", metavar="NAME",
                       help="column of calendar dates (default: date)")
    value = group.add_mutually_exclusive_group()
    value.add_argument("--tmean-column", default="tmean", metavar="NAME",
                       help="column of daily mean temperatures in °C (default: tmean)")
    value.add_argument("--heat-units-column", metavar="NAME",
                       help="column of daily heat units in degree-days, used as given")
    value.add_argument("--tmin-column", metavar="NAME",
                       help="column of daily minimum temperatures in °C; with --tmax-column "
                       "the daily mean is (tmin + tmax) / 2")
    group.add_argument("--tmax-column", metavar="NAME",
                       help="column of daily maximum temperatures in °C (with --tmin-column)")
    group.add_argument("--sep", metavar="CHAR",
                       help="field separator of a .csv weather file; with ';' decimal commas "
                       "are read too (3,5 is 3.5)")
    group.add_argument("--strict", action="store_true",
                       help="treat any weather quality notice as an error (exit status 1)")


def add_farm_files(parser: argparse.ArgumentParser) -> None:
    """The four files of a farm, as every command that runs one takes them."""
    parser.add_argument("--weather", metavar="FILE",
                        help="daily weather file (.csv, .xlsx, .xls): a date column and a daily "
                        "mean temperature in °C or daily heat units in degree-days")
    parser.add_argument("--inventory", metavar="FILE",
                        help="population inventory: chain, population (plants), age_weeks (weeks)")
    parser.add_argument("--schedule", metavar="FILE",
                        help="YAML management schedule: replacement_schedule, plants per model week")
    parser.add_argument("--params", metavar="FILE",
                        help="YAML parameter file (default for own files: the built-in defaults)")


def _version() -> str:
    from importlib import metadata

    try:
        return metadata.version("py_narvo_pop")
    except metadata.PackageNotFoundError:
        import py_narvo_pop

        return py_narvo_pop.__version__


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="narvo-pop",
        description="Weekly cohort population model of a sucker-propagated perennial crop.",
        formatter_class=argparse.RawDescriptionHelpFormatter,
        epilog="commands: simulate, check, compare, calibrate, forecast, sensitivity; "
        "run 'narvo-pop COMMAND --help' for examples",
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {_version()}")
    sub = parser.add_subparsers(dest="command", required=True)

    sim = sub.add_parser(
        "simulate",
        help="run a farm week by week and print the weekly summary",
        description="Seed both chains from an inventory and step them through the weeks. "
        "Without file arguments, runs the shipped example farm; with any of them, "
        "--weather, --inventory and --start-week (or --start-date) are required.",
        formatter_class=argparse.RawDescriptionHelpFormatter,
        epilog=SIMULATE_EPILOG,
    )
    add_farm_files(sim)
    sim.add_argument("--weeks", type=int, default=52, help="weeks to simulate (default 52)")
    start = sim.add_mutually_exclusive_group()
    start.add_argument("--start-week", type=int, dest="start_week", metavar="WEEK",
                       help="first simulated model week; inventory ages are counted at it "
                       "(example farm: 104)")
    start.add_argument("--start-date", type=_date, dest="start_date", metavar="YYYY-MM-DD",
                       help="first simulated week given by a calendar date: the model week "
                       "that contains it")
    sim.add_argument("--out", metavar="FILE",
                     help="write the weekly table to FILE: .csv, .xlsx or .parquet (needs pyarrow)")
    sim.add_argument("--plot", metavar="FILE",
                     help="write a plot of the run to FILE: .png, .pdf or .svg (needs matplotlib)")
    _weather_options(sim)
    sim.set_defaults(func=simulate)

    chk = sub.add_parser(
        "check",
        help="read one field file with its reader and report what it found",
        description="Read FILE with the reader for its kind and print what it holds; "
        "notices, and the quality notices of weather files, are shown as warnings.",
        formatter_class=argparse.RawDescriptionHelpFormatter,
        epilog=CHECK_EPILOG,
    )
    chk.add_argument("file", metavar="FILE")
    chk.add_argument("--as", dest="kind", choices=KINDS, required=True, help="what the file holds")
    chk.add_argument("--weather", metavar="FILE",
                     help="weather file placing dated records in model weeks")
    chk.add_argument("--params", metavar="FILE", help="YAML parameter file for --weather")
    _weather_options(chk)
    chk.set_defaults(func=check)

    from py_narvo_pop import _cli_ensemble, _cli_fit

    _cli_fit.add_parsers(sub)
    _cli_ensemble.add_parsers(sub)
    return parser


def _one_line(exc: BaseException) -> str:
    text = str(exc) if not isinstance(exc, KeyError) else f"missing {exc}"
    for note in getattr(exc, "__notes__", ()):
        text += f" ({note})"
    return " ".join(text.split()) or type(exc).__name__


def main(argv: Sequence[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    try:
        status: int = args.func(args)
        return status
    except CliError as exc:
        print(f"error: {exc}", file=sys.stderr)
        return 1
    except Exception as exc:  # every fault is one line, never a traceback
        reason = _one_line(exc)
        if not _plain_error(exc):
            reason = f"{type(exc).__name__}: {reason}"
        print(f"error: {reason}", file=sys.stderr)
        return 1


if __name__ == "__main__":  # pragma: no cover
    # Run as a script, this file is a second copy of the module, whose
    # CliError the commands (importing py_narvo_pop.cli) never raise.
    from py_narvo_pop.cli import main as _main

    sys.exit(_main())
