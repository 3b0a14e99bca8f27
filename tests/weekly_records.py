"""What the ribbon production and sucker selection tests share: a calendar
whose week 0 starts on D0, a caller's own provider and the package's provider
on that calendar, and a writer of field files into a fresh directory."""

import datetime as dt
import warnings

import pandas as pd
import pytest
from field_files import WRITERS

from py_narvo_pop.weather import WeatherProvider

D0 = dt.date(2024, 1, 1)  # a Monday: week 0


class DuckProvider:
    """A caller's own provider: only week_index_for_date, 7-day weeks from D0."""

    def week_index_for_date(self, d):
        return (d - D0).days // 7


def package_provider():
    return WeatherProvider(pd.DataFrame({"date": [D0], "tmean": [20.0]}))


@pytest.fixture(params=["duck", "package"])
def weather(request):
    return DuckProvider() if request.param == "duck" else package_provider()


@pytest.fixture(autouse=True)
def _quiet_xls_engine_notice():
    with warnings.catch_warnings():
        warnings.filterwarnings("ignore", message=".*xlrd engine is deprecated")
        yield


def file_writer(directory, stem):
    """make(rows, suffix) writes rows to <stem><suffix> in directory and returns that name."""

    def make(rows, suffix=".csv"):
        WRITERS[suffix](directory / f"{stem}{suffix}", rows)
        return f"{stem}{suffix}"

    return make


class ShiftedProvider(WeatherProvider):
    """The package's provider with its calendar moved by a week: a subclass's own
    week_index_for_date must be used, never the native calendar underneath."""

    def week_index_for_date(self, d):
        return super().week_index_for_date(d) + 1
