"""Generated field files through every reader and every from_file.

Headers and cells are drawn at random (numbers of every size, texts, blanks,
dates in many forms, NaN/inf texts, bytes that are no UTF-8) and written as
.csv, .xlsx and .xls. Whatever the file, a read either succeeds or raises the
package's own error or one of the documented errors of the host, pandas or
the workbook libraries: never an OverflowError, TypeError, KeyError,
IndexError or AttributeError, and never a crash.

bench/fuzz_readers.py runs the same cases in larger numbers and prints the
outcomes per reader."""

from __future__ import annotations

import csv
import datetime as dt
import io
import math
import tempfile
import warnings
import zipfile
from collections import Counter
from pathlib import Path

import openpyxl
import pandas as pd
import pytest
import xlrd
import xlwt
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from py_narvo_pop.exceptions import NarvoPopError
from py_narvo_pop.readers.braxen import Braxen, SuckerSelectionData
from py_narvo_pop.readers.demmet import PopulationInventoryReader
from py_narvo_pop.readers.quillet import Quillet, RibbonProductionData
from py_narvo_pop.readers.vimlo import WeatherFileReader
from py_narvo_pop.weather import ColumnMap, WeatherProvider

# -------------------------------------------------------------- the cells ---

KNOWN_COLUMNS = [
    "date", "tmean", "heat_units", "tag", "bagged", "cut", "age_at_cut", "field_losses",
    "rejected", "processed", "chain", "population", "age_weeks", "parous_count",
    "nulliparous_count", "total",
]

DATE_TEXTS = [
    "2024-01-05", "2024/01/05", "05/01/2024", "1/5/2024", "5.1.2024", "20240105", "Jan 5 2024",
    "5 January 2024", "2024-01-05T10:30", "2024-01-05 23:59:59", "2024-01-05T10:00+01:00",
    "2024-01-05T10:00-05:00", "2024-01-05Z", "2024-02-30", "2023-02-29", "0000-01-01",
    "-0001-01-01", "0001-01-01", "1677-09-21", "2262-04-12", "9999-12-31", "10000-01-01",
    "week 3", "W03", "2024-W03", "12:30", "today", "now", "NaT", "1e5",
]

SPECIAL_TEXTS = [
    "", " ", "NaN", "nan", "NA", "N/A", "null", "None", "inf", "-inf", "Infinity", "1e999",
    "-1e999", "9" * 400, "-" + "9" * 400, "1" * 309, "0x1F", "1,5", "1_000", "TRUE", "false",
    "pre_flowering", "post_flowering", "PRE_FLOWERING", " 007", "R1", "R1 ", "é", "e\u0301",
    "3.0", "-0", "1e-320", "\ufeffdate",
]

numbers = st.one_of(
    st.integers(min_value=-5, max_value=100),
    st.integers(),
    st.sampled_from([2**53 + 1, 2**63, 2**64, -(2**63) - 1, 10**400, -(10**400)]),
    st.floats(allow_nan=True, allow_infinity=True),
    st.floats(min_value=-10, max_value=100),
)
dates = st.one_of(
    st.sampled_from(DATE_TEXTS),
    st.dates(min_value=dt.date(1, 1, 1)).map(lambda d: d.isoformat()),
    st.datetimes(min_value=dt.datetime(1600, 1, 1), max_value=dt.datetime(2400, 1, 1)),
    st.dates(min_value=dt.date(2023, 12, 1), max_value=dt.date(2024, 3, 1)),
)
cells = st.one_of(
    st.none(), numbers, dates, st.sampled_from(SPECIAL_TEXTS), st.text(max_size=6),
    st.booleans(),
)
headers = st.lists(
    st.one_of(st.sampled_from(KNOWN_COLUMNS), st.sampled_from(KNOWN_COLUMNS),
              st.text(max_size=5), st.just("")),
    min_size=0, max_size=8,
)


@st.composite
def tables(draw):
    """(header, rows, junk bytes or None)."""
    header = draw(headers)
    width = max(len(header), 1)
    rows = draw(st.lists(st.lists(cells, min_size=width, max_size=width), max_size=6))
    junk = draw(st.one_of(st.none(), st.none(), st.binary(min_size=1, max_size=4)))
    return header, rows, junk


@st.composite
def known_column_tables(draw):
    """Tables whose header holds a random choice of the columns the readers
    know, so that reads get past the column checks to the cells."""
    header = draw(st.lists(st.sampled_from(KNOWN_COLUMNS), min_size=3, max_size=12, unique=True))
    rows = draw(st.lists(st.lists(cells, min_size=len(header), max_size=len(header)),
                         max_size=6))
    return header, rows, None


# ---------------------------------------------------------- the writers ---

def csv_text(value):
    if value is None:
        return ""
    if isinstance(value, float) and math.isnan(value):
        return "nan"
    return str(value)


def write_csv(path, header, rows, junk):
    out = io.StringIO()
    writer = csv.writer(out, lineterminator="\n")
    writer.writerow(header)
    for row in rows:
        writer.writerow([csv_text(v) for v in row])
    data = out.getvalue().encode("utf-8", "surrogatepass")
    if junk:  # bytes that need not decode, spliced into the last line
        data = data[:-1] + junk + b"\n"
    path.write_bytes(data)


def workbook_cell(value):
    """What a workbook can hold: numbers within float range, texts otherwise."""
    if isinstance(value, bool) or value is None:
        return value
    if isinstance(value, int) and abs(value) > 2**53:
        return str(value)
    if isinstance(value, float) and not math.isfinite(value):
        return str(value)
    if isinstance(value, str):
        return "".join(c for c in value if c.isprintable() and not 0xD800 <= ord(c) <= 0xDFFF)
    return value


def write_xlsx(path, header, rows, junk):
    book = openpyxl.Workbook()
    sheet = book.active
    sheet.append([workbook_cell(h) for h in header])
    for row in rows:
        sheet.append([workbook_cell(v) for v in row])
    book.save(path)
    if junk:  # a damaged member or a damaged archive
        data = path.read_bytes()
        path.write_bytes(data[: len(data) // 2] + junk)


def write_xls(path, header, rows, junk):
    book = xlwt.Workbook()
    sheet = book.add_sheet("first")
    style = xlwt.easyxf(num_format_str="YYYY-MM-DD")
    for r, row in enumerate([header, *rows]):
        for c, value in enumerate(row):
            value = workbook_cell(value)
            if value is None:
                continue
            if isinstance(value, (dt.date, dt.datetime)):
                sheet.write(r, c, value, style)
            else:
                sheet.write(r, c, value)
    book.save(str(path))
    if junk:
        data = path.read_bytes()
        path.write_bytes(data[:512] + junk + data[512 + len(junk):])


WRITERS = {".csv": write_csv, ".xlsx": write_xlsx, ".xls": write_xls}

# ---------------------------------------------------------- the targets ---

PROVIDER = WeatherProvider(pd.DataFrame({"date": [dt.date(2024, 1, 1)], "tmean": [20.0]}))


class DuckProvider:
    def week_index_for_date(self, d):
        return (d - dt.date(2024, 1, 1)).days // 7


TARGETS = {
    "WeatherFileReader.read": lambda p: WeatherFileReader.read(p),
    "WeatherFileReader.read(heat_units)":
        lambda p: WeatherFileReader.read(p, ColumnMap(heat_units="heat_units")),
    "WeatherProvider.from_file": lambda p: WeatherProvider.from_file(p),
    "PopulationInventoryReader.read": lambda p: PopulationInventoryReader.read(p),
    "Quillet.read": lambda p: Quillet.read(p),
    "Braxen.read": lambda p: Braxen.read(p),
    "RibbonProductionData.from_file": lambda p: RibbonProductionData.from_file(p, PROVIDER),
    "RibbonProductionData.from_file(duck)":
        lambda p: RibbonProductionData.from_file(p, DuckProvider()),
    "SuckerSelectionData.from_file": lambda p: SuckerSelectionData.from_file(p, PROVIDER),
}

# Documented failures: the package's own, and the errors of the host, pandas
# and the workbook libraries for a file that is no table (ValueError covers
# pandas' ParserError, EmptyDataError and date errors, and UnicodeDecodeError).
ALLOWED = (NarvoPopError, ValueError, FileNotFoundError, zipfile.BadZipFile, xlrd.XLRDError)


def outcome(target, path, strict=True):
    """'ok' or the name of the allowed exception. Anything else propagates,
    or, when not strict, is named with a leading '!'."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            TARGETS[target](path)
        except ALLOWED as e:
            return type(e).__name__
        except Exception as e:
            if strict:
                raise
            return f"!{type(e).__name__}: {str(e)[:60]}"
    return "ok"


def run_case(table, suffix, record=None):
    header, rows, junk = table
    with tempfile.TemporaryDirectory() as tmp:
        path = Path(tmp) / f"field{suffix}"
        WRITERS[suffix](path, header, rows, junk)
        for target in TARGETS:
            kind = outcome(target, path, strict=record is None)
            if record is not None:
                record[target][kind] += 1


# ---------------------------------------------------------------- the test ---

FUZZ = settings(max_examples=25, deadline=None, derandomize=True,
                suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])


@pytest.mark.parametrize("suffix", sorted(WRITERS))
def test_generated_files_raise_only_documented_errors(suffix):
    @FUZZ
    @given(tables())
    def check(table):
        run_case(table, suffix)

    check()


@pytest.mark.parametrize("suffix", sorted(WRITERS))
def test_files_of_known_columns_raise_only_documented_errors(suffix):
    @FUZZ
    @given(known_column_tables())
    def check(table):
        run_case(table, suffix)

    check()


def outcome_table(examples_per_suffix, suffixes=tuple(sorted(WRITERS))):
    """Counters of outcomes per target over many generated files of each kind
    (half of free headers, half of known columns), and the number of files."""
    record = {target: Counter() for target in TARGETS}
    many = settings(FUZZ, max_examples=examples_per_suffix // 2, derandomize=False)
    files = 0
    for suffix in suffixes:
        for strategy in (tables(), known_column_tables()):
            @many
            @given(strategy)
            def check(table):
                nonlocal files
                files += 1
                run_case(table, suffix, record)

            check()
    return record, files
