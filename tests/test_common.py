import math
import os
import subprocess
import sys
import unicodedata
import zipfile
from pathlib import Path

import numpy as np
import openpyxl
import pandas as pd
import pytest
import xlwt

from py_narvo_pop.readers._common import _clean_text, _read_table, _require_columns

ROWS = [["code", "value"], ["007", 1.5], ["012", 2.5]]


def write_csv(path, rows=ROWS):
    path.write_text("\n".join(",".join(str(c) for c in row) for row in rows) + "\n")


def write_xlsx(path, rows=ROWS, extra_sheet=False):
    wb = openpyxl.Workbook()
    for row in rows:
        wb.active.append(row)
    if extra_sheet:
        wb.create_sheet("second").append(["other"])
    wb.save(path)


def write_xls(path, rows=ROWS, extra_sheet=False):
    wb = xlwt.Workbook()
    sheet = wb.add_sheet("first")
    for r, row in enumerate(rows):
        for c, value in enumerate(row):
            sheet.write(r, c, value)
    if extra_sheet:
        wb.add_sheet("second").write(0, 0, "other")
    wb.save(str(path))


WRITERS = {".csv": write_csv, ".xlsx": write_xlsx, ".xls": write_xls}


@pytest.fixture(autouse=True)
def _quiet_xls_engine_notice():
    # Newer pandas announces the deprecation of its .xls engine on every read.
    import warnings

    with warnings.catch_warnings():
        warnings.filterwarnings("ignore", message=".*xlrd engine is deprecated")
        yield


@pytest.mark.parametrize(
    "name", ["data.csv", "DATA.CSV", "book.xlsx", "book.XLSX", "Book.Xlsx", "old.xls", "OLD.XLS"]
)
def test_format_follows_the_lower_cased_suffix(tmp_path, name):
    path = tmp_path / name
    WRITERS[path.suffix.lower()](path)
    df = _read_table(path, text_columns=["code"])
    assert df.columns.tolist() == ["code", "value"]
    assert df["code"].tolist() == ["007", "012"]
    assert df["value"].tolist() == [1.5, 2.5]


@pytest.mark.parametrize("suffix", [".csv", ".xlsx", ".xls"])
def test_text_columns_keep_leading_zeros(tmp_path, suffix):
    path = tmp_path / f"t{suffix}"
    WRITERS[suffix](path, [["code", "tag"], ["007", "0042"], ["100", "9"]])
    kept = _read_table(str(path), text_columns=("code", "tag"))
    assert kept["code"].tolist() == ["007", "100"] and kept["tag"].tolist() == ["0042", "9"]
    # Without the type map the same cells become numbers (for the text-typed
    # workbook cells only the csv is affected, so check the csv alone).
    if suffix == ".csv":
        assert _read_table(path)["code"].tolist() == [7, 100]


@pytest.mark.parametrize("suffix", [".xlsx", ".xls"])
def test_workbook_first_sheet_is_read(tmp_path, suffix):
    path = tmp_path / f"two{suffix}"
    WRITERS[suffix](path, extra_sheet=True)
    assert _read_table(path).columns.tolist() == ["code", "value"]


@pytest.mark.parametrize(
    "name, quoted",
    [("notes.txt", "'.txt'"), ("noext", "''"), ("archive.tar.GZ", "'.gz'"), (".hidden", "''")],
)
def test_unsupported_extension(tmp_path, name, quoted):
    path = tmp_path / name
    path.write_text("x\n")
    with pytest.raises(ValueError) as err:
        _read_table(str(path))
    assert str(err.value) == (
        f"unsupported file extension {quoted} for {path} -- expected .csv or .xlsx/.xls"
    )


@pytest.mark.parametrize("name", ["absent.csv", "absent.txt", "absent", "sub/absent.xlsx"])
def test_missing_file_is_reported_before_the_extension(tmp_path, monkeypatch, name):
    monkeypatch.chdir(tmp_path)
    with pytest.raises(FileNotFoundError) as err:
        _read_table("./" + name)
    assert str(err.value) == "file not found: " + name


def test_path_is_printed_in_normalised_form(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "sub").mkdir()
    (tmp_path / "sub" / "n.txt").write_text("x")
    with pytest.raises(ValueError, match=r"^unsupported file extension '\.txt' for sub/n\.txt -- "):
        _read_table(Path("./sub//n.txt"))


def test_single_text_is_not_taken_for_a_list_of_names(tmp_path):
    path = tmp_path / "d.csv"
    write_csv(path)
    with pytest.raises(TypeError, match="single text"):
        _read_table(path, text_columns="code")


def test_text_columns_is_keyword_only(tmp_path):
    path = tmp_path / "d.csv"
    write_csv(path)
    with pytest.raises(TypeError):
        _read_table(path, ["code"])


# ------------------------------------------------------------- unsafe input ---


def entity_bomb_xlsx(path, levels=4):
    """A workbook whose sheet XML declares nested entities (10**(levels+1) letters)."""
    write_xlsx(path)
    with zipfile.ZipFile(path) as z:
        parts = {n: z.read(n) for n in z.namelist()}
    entities = '<!ENTITY a "aaaaaaaaaa">' + "".join(
        f'<!ENTITY {chr(98 + i)} "{("&" + chr(97 + i) + ";") * 10}">' for i in range(levels)
    )
    top = chr(97 + levels)
    parts["xl/worksheets/sheet1.xml"] = (
        f'<?xml version="1.0"?>\n<!DOCTYPE bomb [{entities}]>\n'
        '<worksheet xmlns="http://schemas.openxmlformats.org/spreadsheetml/2006/main"><sheetData>'
        '<row r="1"><c r="A1" t="inlineStr"><is><t>col</t></is></c></row>'
        f'<row r="2"><c r="A2" t="inlineStr"><is><t>&{top};</t></is></c></row>'
        "</sheetData></worksheet>"
    ).encode()
    with zipfile.ZipFile(path, "w") as z:
        for name, data in parts.items():
            z.writestr(name, data)


def error_chain(err):
    while err is not None:
        yield err
        err = err.__cause__ or err.__context__


def test_entity_expansion_is_refused(tmp_path):
    import defusedxml

    path = tmp_path / "bomb.xlsx"
    entity_bomb_xlsx(path)
    with pytest.raises(Exception) as err:
        _read_table(path)
    assert any(isinstance(e, defusedxml.EntitiesForbidden) for e in error_chain(err.value))


def test_entity_expansion_is_refused_even_when_openpyxl_was_told_not_to_defuse(tmp_path):
    path = tmp_path / "bomb.xlsx"
    entity_bomb_xlsx(path)
    script = (
        "import openpyxl, pandas, defusedxml, sys\n"
        "assert not openpyxl.DEFUSEDXML\n"
        "from py_narvo_pop.readers._common import _read_table\n"
        "try:\n"
        f"    df = _read_table({str(path)!r})\n"
        "except Exception as e:\n"
        "    chain = []\n"
        "    while e is not None:\n"
        "        chain.append(e); e = e.__cause__ or e.__context__\n"
        "    sys.exit(0 if any(isinstance(x, defusedxml.EntitiesForbidden) for x in chain) else 3)\n"
        "sys.exit('expanded to %d letters' % len(str(df.iloc[0, 0])))\n"
    )
    env = dict(os.environ, OPENPYXL_DEFUSEDXML="False")
    done = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True, text=True)
    assert done.returncode == 0, done.stderr


def write_bytes(data):
    return lambda path: path.write_bytes(data)


def write_zip_without_workbook(path):
    with zipfile.ZipFile(path, "w") as z:
        z.writestr("a.txt", "hello")


@pytest.mark.parametrize(
    "name, write",
    [
        ("text.xlsx", write_bytes(b"code,value\n1,2\n")),
        ("empty.xlsx", write_bytes(b"")),
        ("nobook.xlsx", write_zip_without_workbook),
        ("garbage.xls", write_bytes(bytes(range(256)) * 12)),
        ("fake_ole.xls", write_bytes(bytes.fromhex("D0CF11E0A1B11AE1") + b"\x07" * 1500)),
        ("text.xls", write_bytes(b"code\tvalue\n1\t2\n")),
    ],
)
def test_file_not_matching_its_suffix_fails_with_an_exception(tmp_path, name, write):
    path = tmp_path / name
    write(path)
    with pytest.raises(Exception) as err:
        _read_table(path)
    assert not isinstance(err.value, (SystemError, MemoryError))


def test_workbook_content_under_the_other_workbook_suffix(tmp_path):
    path = tmp_path / "really_xlsx.xls"
    write_xlsx(path)
    assert _read_table(path, text_columns=["code"])["code"].tolist() == ["007", "012"]


# --------------------------------------------------------------- _clean_text ---

DECOMPOSED = "Jose\u0301"


@pytest.mark.parametrize(
    "value, expected",
    [
        ("  R12 ", "R12"),
        ("\tR 12\n", "R 12"),
        (DECOMPOSED, unicodedata.normalize("NFC", DECOMPOSED)),
        ("  " + DECOMPOSED + "\u3000", "Jos\u00e9"),
        (7, "7"),
        (12.5, "12.5"),
        (12.0, "12.0"),
        (np.int64(7), "7"),
        (np.float64(2.5), "2.5"),
        (True, "True"),
        (float("inf"), "inf"),
        (pd.Timestamp("2024-01-02"), "2024-01-02 00:00:00"),
        ("\ud800", "\ud800"),
    ],
)
def test_clean_text_values(value, expected):
    assert _clean_text(value) == expected
    assert type(_clean_text(value)) is str


@pytest.mark.parametrize(
    "value",
    [None, float("nan"), np.float64("nan"), pd.NaT, pd.NA, np.datetime64("NaT", "ns"), "", "   ", "\u3000\n"],
)
def test_clean_text_no_value_is_nan(value):
    out = _clean_text(value)
    assert isinstance(out, float) and math.isnan(out)


# ---------------------------------------------------------- _require_columns ---


class DataFault(Exception):
    pass


CONTEXT = "population inventory file 'inv.csv'"


@pytest.mark.parametrize(
    "columns, required, missing",
    [
        (["chain", "population"], ["age_weeks"], "['age_weeks']"),
        (["chain"], ["age_weeks", "tag", "chain"], "['age_weeks', 'tag']"),
        (["chain"], ["tag", "tag"], "['tag', 'tag']"),
        (["Age_weeks", "age_weeks "], ["age_weeks"], "['age_weeks']"),
        ([unicodedata.normalize("NFD", "é")], ["é"], "['é']"),
    ],
)
def test_missing_columns_message(columns, required, missing):
    df = pd.DataFrame(columns=columns)
    with pytest.raises(DataFault) as err:
        _require_columns(df, required, context=CONTEXT, error_cls=DataFault)
    assert err.value.args == (
        f"{CONTEXT} missing required column(s): {missing}; found columns: {columns!r}",
    )


def test_found_columns_use_plain_labels():
    with pytest.raises(DataFault, match=r"found columns: \[0, 1\]$"):
        _require_columns(pd.DataFrame([[1, 2]]), ["a"], context="c", error_cls=DataFault)


@pytest.mark.parametrize("required", [[], (), ["b", "a"]])
def test_present_columns_pass(required):
    assert _require_columns(pd.DataFrame(columns=["a", "b"]), required, context="c", error_cls=DataFault) is None


def test_context_and_error_cls_are_keyword_only_and_mandatory():
    df = pd.DataFrame(columns=["a"])
    with pytest.raises(TypeError):
        _require_columns(df, ["a"], "c", DataFault)
    with pytest.raises(TypeError):
        _require_columns(df, ["a"], context="c")


def test_error_cls_that_builds_no_exception():
    with pytest.raises(TypeError, match="BaseException"):
        _require_columns(pd.DataFrame(), ["a"], context="c", error_cls=str)
