"""The daily weather file reader."""

import datetime as dt
from pathlib import Path

import pandas as pd
import pytest

from py_narvo_pop.exceptions import WeatherError
from py_narvo_pop.notices import NoticeLog
from py_narvo_pop.readers.vimlo import WeatherFileReader
from py_narvo_pop.weather import ColumnMap


def write(tmp_path, text, name="weather.csv"):
    path = tmp_path / name
    path.write_text(text)
    return path


@pytest.fixture
def csv(tmp_path):
    return write(tmp_path, "Rain,Day,TAVG,heat_units,tmean,date\n"
                           "1,2024-01-01,20.5,3.0,7,2024-02-01\n"
                           "0,01/02/2024,19.0,-1.0,8,2024-02-02\n"
                           "2,2024-01-03 06:45,18.0,2.5,9,2024-02-03\n")


@pytest.mark.parametrize("columns, names, values", [
    (None, ["date", "tmean"], [7, 8, 9]),
    (ColumnMap(), ["date", "tmean"], [7, 8, 9]),
    (ColumnMap("Day", "TAVG"), ["date", "tmean"], [20.5, 19.0, 18.0]),
    (ColumnMap(heat_units="heat_units"), ["date", "heat_units"], [3.0, -1.0, 2.5]),
    (ColumnMap("Day", "absent", "TAVG"), ["date", "heat_units"], [20.5, 19.0, 18.0]),
])
def test_canonical_two_column_output(csv, columns, names, values):
    result = WeatherFileReader.read(csv, columns)
    assert list(result.data.columns) == names
    assert result.data[names[1]].tolist() == values
    assert pd.api.types.is_datetime64_dtype(result.data["date"])
    assert type(result.notices) is NoticeLog and len(result.notices) == 0


def test_dates_in_several_forms_parse_month_first(csv):
    data = WeatherFileReader.read(csv, columns=ColumnMap(date="Day", tmean="TAVG")).data
    assert data["date"].tolist() == [pd.Timestamp("2024-01-01"), pd.Timestamp("2024-01-02"),
                                     pd.Timestamp("2024-01-03 06:45")]


def test_keyword_arguments_and_path_forms(csv):
    a = WeatherFileReader.read(path=str(csv), columns=ColumnMap("Day", "TAVG")).data
    b = WeatherFileReader.read(Path(csv), ColumnMap("Day", "TAVG")).data
    pd.testing.assert_frame_equal(a, b)


def test_rows_kept_in_file_order_with_missing_and_text_cells(tmp_path):
    path = write(tmp_path, "date,tmean\n2024-01-03,1\n,2\n2024-01-01,warm\n2024-01-03,1\n")
    data = WeatherFileReader.read(path).data
    assert len(data) == 4
    assert data["date"].isna().tolist() == [False, True, False, False]
    assert data["date"].iloc[0] == data["date"].iloc[3] == pd.Timestamp("2024-01-03")
    assert data["tmean"].tolist() == ["1", "2", "warm", "1"]


def test_workbook_with_date_cells_and_texts(tmp_path):
    openpyxl = pytest.importorskip("openpyxl")
    path = tmp_path / "weather.xlsx"
    book = openpyxl.Workbook()
    sheet = book.active
    sheet.append(["extra", "tmean", "date"])
    sheet.append(["a", 20.0, dt.datetime(2024, 3, 1)])
    sheet.append(["b", 21.0, "2024-03-02"])
    sheet.append(["c", 22.0, "03/04/2024"])
    sheet.append(["d", 23.0, None])
    book.save(path)
    data = WeatherFileReader.read(path).data
    assert list(data.columns) == ["date", "tmean"]
    assert data["date"].tolist()[:3] == [pd.Timestamp(2024, 3, d) for d in (1, 2, 4)]
    assert pd.isna(data["date"].iloc[3])


@pytest.mark.parametrize("columns", [
    ColumnMap(tmean=None), ColumnMap(tmean=None, heat_units=None), ColumnMap("Day", None),
])
def test_no_value_column_fails_before_the_file_is_touched(tmp_path, columns):
    with pytest.raises(WeatherError) as info:
        WeatherFileReader.read(tmp_path / "absent.txt", columns)
    assert str(info.value) == "columns must specify either tmean= or heat_units="


@pytest.mark.parametrize("as_path", [False, True])
@pytest.mark.parametrize("columns, missing", [
    (ColumnMap("Date", "TAVG"), ["Date"]),
    (ColumnMap("Day", "Tmean"), ["Tmean"]),
    (ColumnMap("x", heat_units="y"), ["x", "y"]),
])
def test_missing_columns_named_with_the_file(csv, as_path, columns, missing):
    path = csv if as_path else str(csv)
    with pytest.raises(WeatherError) as info:
        WeatherFileReader.read(path, columns)
    assert str(info.value) == (
        f"weather file {path!r} missing required column(s): {missing!r}; found columns: "
        "['Rain', 'Day', 'TAVG', 'heat_units', 'tmean', 'date']")


@pytest.mark.parametrize("cell", ["2024-13-45", "not a date"])
def test_unparseable_date_reports_the_parser_error_as_cause(tmp_path, cell):
    path = write(tmp_path, f"When,tmean\n2024-01-01,1\n{cell},2\n")
    with pytest.raises(ValueError) as expected:
        pd.to_datetime(pd.Series(["2024-01-01", cell]), format="mixed")
    with pytest.raises(WeatherError) as info:
        WeatherFileReader.read(str(path), ColumnMap(date="When"))
    assert str(info.value) == (f"could not parse 'When' column in {str(path)!r} as calendar "
                               f"dates: {expected.value}")
    assert type(info.value.__cause__) is type(expected.value)


@pytest.mark.parametrize("name, error", [("absent.csv", FileNotFoundError), ("w.txt", ValueError)])
def test_loader_errors_pass_through(tmp_path, name, error):
    if name == "w.txt":
        write(tmp_path, "date,tmean\n", name)
    with pytest.raises(error):
        WeatherFileReader.read(tmp_path / name)
