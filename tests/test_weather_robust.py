"""WeatherProvider against instances it never built, lookups patched on an
instance, and cells the table library hands over in unusual forms."""

import datetime as dt
import math
import subprocess
import sys
import textwrap
from unittest import mock

import pandas as pd
import pytest

from py_narvo_pop.exceptions import WeatherError
from py_narvo_pop.readers.vimlo import WeatherFileReader
from py_narvo_pop.weather import ColumnMap, WeatherProvider

D0 = dt.date(2024, 1, 1)


def run_script(body):
    """Run body in a fresh interpreter; a crash shows as a negative return code."""
    script = textwrap.dedent(body)
    return subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)


PREAMBLE = """
    import copy, datetime, pickle
    import pandas as pd
    from py_narvo_pop.weather import ColumnMap, WeatherProvider
    from py_narvo_pop.readers.quillet import RibbonProductionData, ProductionObservation
    from py_narvo_pop.readers.braxen import SuckerSelectionData

    class Forgetful(WeatherProvider):
        def __init__(self):
            pass  # never calls WeatherProvider.__init__

    def refused(name, call):
        try:
            call()
        except TypeError as e:
            print(name, "TypeError")
        else:
            print(name, "ACCEPTED")
"""

UNBUILT_PROVIDER = PREAMBLE + """
    d = datetime.date(2024, 1, 1)
    for make in (Forgetful, lambda: WeatherProvider.__new__(WeatherProvider)):
        p = make()
        refused("week_index_for_date", lambda: p.week_index_for_date(d))
        refused("calendar_date_for_week", lambda: p.calendar_date_for_week(1))
        refused("thermal_increment", lambda: p.thermal_increment(0))
        refused("thermal_sum_between", lambda: p.thermal_sum_between(0, 2))
        refused("thermal_trajectory", lambda: p.thermal_trajectory(0, 2))
        refused("_week_total", lambda: p._week_total(0))
        refused("min_week_index", lambda: p.min_week_index)
        refused("_weekly_heat_units", lambda: p._weekly_heat_units)
        refused("_run_start_date", lambda: p._run_start_date)
        refused("pickle", lambda: pickle.dumps(p))
        refused("copy", lambda: copy.copy(p))
        refused("deepcopy", lambda: copy.deepcopy(p))
        production = pd.DataFrame({"tag": ["R1"], "date": [d], "bagged": [1.0], "cut": [0.0],
                                   "age_at_cut": [None], "field_losses": [None],
                                   "rejected": [None], "processed": [None]})
        refused("RibbonProductionData", lambda: RibbonProductionData(production, p))
        selection = pd.DataFrame({"date": [d], "total": [3.0]})
        refused("SuckerSelectionData", lambda: SuckerSelectionData(selection, p))
    refused("foreign self", lambda: WeatherProvider.week_index_for_date(object(), d))
"""

UNBUILT_RECORDS = PREAMBLE + """
    d = datetime.date(2024, 1, 1)
    provider = WeatherProvider(pd.DataFrame({"date": [d], "tmean": [20.0]}))
    for cls in (RibbonProductionData, SuckerSelectionData):
        data = cls.__new__(cls)
        refused(cls.__name__ + ".week_is_covered", lambda: data.week_is_covered(0))
        refused(cls.__name__ + ".repr", lambda: repr(data))
        for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
            refused(cls.__name__ + ".pickle", lambda: pickle.dumps(data, protocol=protocol))
        refused(cls.__name__ + ".copy", lambda: copy.copy(data))
    refused("observation", lambda: RibbonProductionData.__new__(RibbonProductionData).observation("R1", 0))
    refused("total", lambda: SuckerSelectionData.__new__(SuckerSelectionData).total(0))
    refused("ProductionObservation.cut", lambda: ProductionObservation.__new__(ProductionObservation).cut)
    columns = ColumnMap.__new__(ColumnMap)
    refused("ColumnMap in provider",
            lambda: WeatherProvider(pd.DataFrame({"date": [d], "tmean": [1.0]}), columns))
"""


@pytest.mark.parametrize("body", [UNBUILT_PROVIDER, UNBUILT_RECORDS], ids=["provider", "records"])
def test_unbuilt_instances_are_refused_not_crashed_on(body):
    done = run_script(body)
    assert done.returncode == 0, done.stderr[-2000:]
    lines = done.stdout.splitlines()
    assert lines and all(line.endswith(" TypeError") for line in lines), done.stdout


def test_unbuilt_provider_message_says_what_is_missing():
    class Forgetful(WeatherProvider):
        def __init__(self):
            pass

    with pytest.raises(TypeError, match=r"^this .*Forgetful was never initialised"):
        Forgetful().week_index_for_date(D0)


def daily(values, start=D0):
    return pd.DataFrame({"date": [start + dt.timedelta(days=i) for i in range(len(values))],
                         "tmean": values})


class Sub(WeatherProvider):
    pass


def test_plain_provider_has_no_instance_dict_to_patch():
    p = WeatherProvider(daily([20.0]))
    with pytest.raises(AttributeError):
        mock.patch.object(p, "_week_total", lambda w: 1.0).start()


@pytest.mark.parametrize("query, expected", [
    (lambda p: p.thermal_increment(0), 100.0),
    (lambda p: p.thermal_sum_between(0, 2), 300.0),
    (lambda p: p.thermal_trajectory(0, 2), [100.0, 200.0, 300.0]),
])
def test_instance_level_week_total_is_honoured(query, expected):
    p = Sub(daily([20.0] * 21))
    plain = query(p)
    with mock.patch.object(p, "_week_total", lambda w: 100.0):
        assert query(p) == expected
    assert query(p) == plain  # the patch is gone, the native lookup answers again
    assert "_week_total" not in vars(p)


def test_instance_dict_without_the_lookup_keeps_native_answers():
    p = Sub(daily([20.0] * 14))
    p.note = "field 3"
    assert p.thermal_sum_between(0, 1) == WeatherProvider(daily([20.0] * 14)).thermal_sum_between(0, 1)


def test_instance_lookup_that_refuses_a_week_refuses_the_span():
    p = Sub(daily([20.0] * 21))

    def only_week_zero(w):
        if w:
            raise WeatherError(f"week {w} withheld")
        return 1.0

    p._week_total = only_week_zero
    assert p.thermal_increment(0) == 1.0
    with pytest.raises(WeatherError, match="week 1 withheld"):
        p.thermal_sum_between(0, 2)


@pytest.mark.parametrize("cell, total", [
    ("9" * 400, math.inf),    # more digits than a float holds: the float the digits spell
    ("-" + "9" * 400, 0.0),   # far below the base temperature
    ("1" * 309, float("1" * 309) - 14.0),
])
def test_numbers_beyond_float_range_in_weather_file(tmp_path, cell, total):
    path = tmp_path / "w.csv"
    path.write_text(f"date,tmean\n2024-01-01,{cell}\n")
    p = WeatherProvider.from_file(path)
    assert p._weekly_heat_units == {0: total}


@pytest.mark.parametrize("cell", ["0000-01-01", "-0001-01-01"])
def test_weather_dates_before_year_one_get_the_readers_message(tmp_path, cell):
    path = tmp_path / "w.csv"
    path.write_text(f"date,tmean\n2024-01-01,20\n{cell},21\n")
    prefix = f"could not parse 'date' column in {path!r} as calendar dates: "
    for read in (WeatherFileReader.read, WeatherProvider.from_file):
        with pytest.raises(WeatherError) as info:
            read(path)
        assert str(info.value).startswith(prefix)
        assert isinstance(info.value.__cause__, ValueError)



def test_weather_values_of_no_number_kind_are_value_errors():
    frame = daily([20.0, 21.0])
    frame["tmean"] = [D0, D0]
    with pytest.raises(ValueError, match=r"^could not convert the weather column 'tmean' to numbers: "):
        WeatherProvider(frame)
