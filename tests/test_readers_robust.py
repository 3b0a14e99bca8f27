"""The field-file readers against cells pandas versions hand over differently,
pickling and copying of readers and data objects, workbook XML safety without
process-wide side effects, and first calls from two threads at once."""

import copy
import datetime as dt
import math
import os
import pickle
import subprocess
import sys
import textwrap

import pandas as pd
import pytest
from field_files import write_csv

from py_narvo_pop.exceptions import CohortChainError, RibbonDataError, SuckerSelectionError
from py_narvo_pop.readers.braxen import Braxen, SuckerSelectionData
from py_narvo_pop.readers.demmet import PopulationInventoryReader
from py_narvo_pop.readers.quillet import Quillet, RibbonProductionData
from py_narvo_pop.readers.vimlo import WeatherFileReader
from py_narvo_pop.weather import WeatherProvider

HUGE = "9" * 400
PRODUCTION = ["tag", "date", "bagged", "cut", "age_at_cut", "field_losses", "rejected", "processed"]


def csv(tmp_path, rows, name="f.csv"):
    path = tmp_path / name
    write_csv(path, rows)
    return path


@pytest.mark.parametrize("cell", [HUGE, "-" + HUGE])
def test_inventory_number_beyond_float_range_is_not_a_number(tmp_path, cell):
    path = csv(tmp_path, [["chain", "population", "age_weeks"], ["pre_flowering", cell, 1]])
    with pytest.raises(CohortChainError) as info:
        PopulationInventoryReader.read(path)
    assert str(info.value) == (f"population inventory file {path!r} has a non-numeric or "
                               "negative 'population' value")
    path = csv(tmp_path, [["chain", "population", "age_weeks"], ["pre_flowering", 1, cell]])
    with pytest.raises(CohortChainError, match="non-integer or negative 'age_weeks'"):
        PopulationInventoryReader.read(path)


def test_production_number_beyond_float_range_reads_as_missing(tmp_path):
    path = csv(tmp_path, [PRODUCTION, ["R1", "2024-01-01", HUGE, 0, None, 0, 0, 0],
                          ["R2", "2024-01-01", 3, 0, None, 0, 0, 0]])
    data = Quillet.read(path).data
    assert math.isnan(data["bagged"][0]) and data["bagged"][1] == 3.0
    assert data["bagged"].dtype == "float64"


def test_selection_number_beyond_float_range_reads_as_missing(tmp_path):
    path = csv(tmp_path, [["date", "parous_count", "nulliparous_count"],
                          ["2024-01-01", HUGE, 2], ["2024-01-08", 1, 2]])
    data = Braxen.read(path).data
    assert math.isnan(data["parous"][0])
    assert data["total"].tolist() == [2.0, 3.0]


def production_with_date(cell):
    return [PRODUCTION, ["R1", "2024-01-01", 1, 0, None, 0, 0, 0], ["R1", cell, 1, 0, None, 0, 0, 0]]


def selection_with_date(cell):
    return [["date", "parous_count", "nulliparous_count"], ["2024-01-01", 1, 1], [cell, 1, 1]]


@pytest.mark.parametrize("cell", ["0000-01-01", "-0001-01-01"])
@pytest.mark.parametrize("read, rows, error, closing", [
    (Quillet.read, production_with_date, RibbonDataError,
     "; expected a real date (e.g. ISO 8601 'YYYY-MM-DD'), not a farm-specific week label"),
    (Braxen.read, selection_with_date, SuckerSelectionError, ""),
])
def test_dates_before_year_one_get_the_readers_date_message(tmp_path, cell, read, rows, error,
                                                            closing):
    path = csv(tmp_path, rows(cell))
    with pytest.raises(error) as info:
        read(path)
    message = str(info.value)
    assert message.startswith(f"could not parse 'date' column in {path!r} as calendar dates: ")
    assert message.endswith(closing)
    assert isinstance(info.value.__cause__, ValueError)


# ------------------------------------------------------------- pickling ---

READERS = [Quillet, Braxen, PopulationInventoryReader, WeatherFileReader]


@pytest.mark.parametrize("cls", READERS)
def test_readers_pickle_and_copy(cls):
    reader = cls()
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        assert type(pickle.loads(pickle.dumps(reader, protocol=protocol))) is cls
    assert type(copy.copy(reader)) is cls and type(copy.deepcopy(reader)) is cls


@pytest.mark.parametrize("cls", READERS)
def test_reader_subclass_keeps_its_attributes(cls):
    sub = type("Sub", (cls,), {"__module__": __name__})
    globals()["Sub"] = sub
    try:
        reader = sub()
        reader.site = "north"
        again = pickle.loads(pickle.dumps(reader, protocol=0))
        assert type(again) is sub and again.site == "north"
        assert copy.deepcopy(reader).site == "north"
    finally:
        del globals()["Sub"]


def weekly_provider():
    return WeatherProvider(pd.DataFrame({"date": [dt.date(2024, 1, 1)], "tmean": [20.0]}))


def production_data():
    table = pd.DataFrame({"tag": ["R1", "R2"], "date": [dt.date(2024, 1, 1), dt.date(2024, 1, 9)],
                          "bagged": [1.0, 2.0], "cut": [3.0, None], "age_at_cut": [40.0, None],
                          "field_losses": [None, 1.0], "rejected": [1.0, None],
                          "processed": [2.0, None]})
    return RibbonProductionData(table, weekly_provider())


def selection_data():
    table = pd.DataFrame({"date": [dt.date(2024, 1, 1), dt.date(2024, 1, 15)],
                          "total": [5.0, 7.0]})
    return SuckerSelectionData(table, weekly_provider())


@pytest.mark.parametrize("make, view", [
    (production_data, lambda d: (d.tags(), d._observations, d._first_week, d._last_week)),
    (selection_data, lambda d: (d._totals, d._first_week, d._last_week)),
])
def test_data_objects_pickle_on_every_protocol_and_copy(make, view):
    data = make()
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        assert view(pickle.loads(pickle.dumps(data, protocol=protocol))) == view(data)
    assert view(copy.copy(data)) == view(data)
    assert view(copy.deepcopy(data)) == view(data)


# ----------------------------------------------------------- workbook XML ---

def run_script(body, **env):
    script = textwrap.dedent(body)
    return subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                          timeout=60, env=dict(os.environ, **env))


XML_AFTER_READ = """
    import sys, threading, zipfile
    import xml.etree.ElementTree as ET
    import defusedxml, openpyxl
    from py_narvo_pop.readers._common import _read_table

    before = (ET.XMLParser, ET.fromstring, ET.iterparse, ET.parse)
    book = openpyxl.Workbook()
    book.active.append(["a"]); book.active.append([1])
    book.save(sys.argv[1])
    assert _read_table(sys.argv[1])["a"].tolist() == [1]
    assert (ET.XMLParser, ET.fromstring, ET.iterparse, ET.parse) == before, "parsers replaced"
    assert ET.fromstring('<!DOCTYPE r [<!ENTITY e "x">]><r>&e;</r>').text == "x"

    with zipfile.ZipFile(sys.argv[1]) as z:
        parts = {n: z.read(n) for n in z.namelist()}
    entities = '<!ENTITY a "aaaaaaaaaa">' + "".join(
        f'<!ENTITY {chr(98 + i)} "{("&" + chr(97 + i) + ";") * 10}">' for i in range(4))
    parts["xl/worksheets/sheet1.xml"] = (
        f'<?xml version="1.0"?><!DOCTYPE bomb [{entities}]>'
        '<worksheet xmlns="http://schemas.openxmlformats.org/spreadsheetml/2006/main"><sheetData>'
        '<row r="1"><c r="A1" t="inlineStr"><is><t>&e;</t></is></c></row>'
        "</sheetData></worksheet>").encode()
    with zipfile.ZipFile(sys.argv[2], "w") as z:
        for name, data in parts.items():
            z.writestr(name, data)
    try:
        _read_table(sys.argv[2])
    except Exception as e:
        chain = []
        while e is not None:
            chain.append(e); e = e.__cause__ or e.__context__
        assert any(isinstance(x, defusedxml.EntitiesForbidden) for x in chain), chain
    else:
        sys.exit("entity bomb expanded")
    assert ET.fromstring('<!DOCTYPE r [<!ENTITY e "y">]><r>&e;</r>').text == "y"
    print("ok")
"""


@pytest.mark.parametrize("defused_by_openpyxl", ["True", "False"])
def test_workbook_reads_leave_the_standard_xml_parsers_alone(tmp_path, defused_by_openpyxl):
    script = XML_AFTER_READ.replace("sys.argv[1]", repr(str(tmp_path / "ok.xlsx"))).replace(
        "sys.argv[2]", repr(str(tmp_path / "bomb.xlsx")))
    done = run_script(script, OPENPYXL_DEFUSEDXML=defused_by_openpyxl)
    assert done.returncode == 0 and done.stdout.strip() == "ok", done.stderr[-2000:]


# ---------------------------------------------------------------- threads ---

FIRST_CALLS = """
    import sys, threading, warnings
    warnings.simplefilter("ignore")
    from pathlib import Path

    d = Path(sys.argv[1])
    go = threading.Barrier(2)
    failures = []

    def work():
        # Each thread imports the package and pandas itself: nothing is loaded
        # before both make their first calls.
        try:
            go.wait()
            from py_narvo_pop.readers.quillet import Quillet, RibbonProductionData
            from py_narvo_pop.readers.braxen import Braxen, SuckerSelectionData
            from py_narvo_pop.readers.demmet import PopulationInventoryReader
            from py_narvo_pop.readers.vimlo import WeatherFileReader
            from py_narvo_pop.weather import WeatherProvider
            weather = WeatherProvider.from_file(d / "w.csv")
            WeatherFileReader.read(d / "w.csv")
            PopulationInventoryReader.read(d / "inv.csv")
            RibbonProductionData.from_file(d / "prod.csv", weather)
            SuckerSelectionData.from_file(d / "sel.csv", weather)
            Quillet.read(d / "prod.csv"); Braxen.read(d / "sel.csv")
        except BaseException as e:
            failures.append(repr(e))

    threads = [threading.Thread(target=work) for _ in range(2)]
    for t in threads: t.start()
    for t in threads: t.join()
    print(failures or "ok")
"""


def test_two_threads_making_first_calls_at_once_do_not_deadlock(tmp_path):
    write_csv(tmp_path / "w.csv", [["date", "tmean"], ["2024-01-01", 20], ["2024-01-09", 21]])
    write_csv(tmp_path / "inv.csv", [["chain", "population", "age_weeks", "tag"],
                                     ["pre_flowering", 10, 2, " 007"]])
    write_csv(tmp_path / "prod.csv", [PRODUCTION, ["R1", "2024-01-01", 1, 2, 40, 0, 1, 1]])
    write_csv(tmp_path / "sel.csv", [["date", "parous_count", "nulliparous_count"],
                                     ["2024-01-01", 1, 2]])
    script = textwrap.dedent(FIRST_CALLS).replace("sys.argv[1]", repr(str(tmp_path)))
    runs = [subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True) for _ in range(6)]
    try:
        for run in runs:
            out, err = run.communicate(timeout=60)
            assert run.returncode == 0 and out.strip() == "ok", (out, err[-2000:])
    finally:
        for run in runs:
            if run.poll() is None:
                run.kill()


def test_workbook_number_out_of_range_names_the_file(tmp_path):
    import openpyxl

    path = tmp_path / "prod.xlsx"
    book = openpyxl.Workbook()
    book.active.append(PRODUCTION[:5])
    book.active.append(["R1", "2024-01-01", 1.7976931348623157e308, 0, None])  # saved as inf
    book.save(path)
    with pytest.raises(ValueError) as info:
        Quillet.read(path)
    assert str(info.value).startswith(f"could not read {path}: a number in the workbook is out of range")
    assert isinstance(info.value.__cause__, OverflowError)
