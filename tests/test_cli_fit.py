"""The compare and calibrate commands, as a user runs them."""

import pandas as pd
import pytest

from py_narvo_pop.cli import main
from py_narvo_pop.parameters import ParameterSet

from test_cli import example, one_error_line


def test_compare_example_farm(tmp_path, capsys):
    out = tmp_path / "joined.csv"
    assert main(["compare", "--out", str(out)]) == 0
    printed = capsys.readouterr().out
    for series, observed in (("flowering", "bagged"), ("harvest", "cut"), ("suckers", "selected")):
        line = next(l for l in printed.splitlines() if l.startswith(series))
        assert observed in line and "NSE" in line and "78 weeks" in line
    joined = pd.read_csv(out)
    assert len(joined) == 78
    assert {"week_index", "flowering_simulated", "flowering_observed", "harvest_observed"} <= set(joined.columns)


def test_calibrate_writes_a_parameter_file_that_loads(tmp_path, capsys):
    fitted = tmp_path / "fitted.yaml"
    assert main(["calibrate", "--budget", "200", "--seed", "1", "--no-progress",
                 "--fit", "flowering.threshold_dd=1700:2100", "--out", str(fitted)]) == 0
    printed = capsys.readouterr().out
    assert "before (error" in printed and "after (error" in printed
    params = ParameterSet.from_yaml(fitted)
    assert 1700.0 <= params.flowering["threshold_dd"] <= 2100.0
    # the fitted file drives the other commands
    assert main(["compare", "--weather", example("weather.csv"), "--inventory", example("inventory.csv"),
                 "--params", str(fitted), "--schedule", example("schedule.yaml"), "--start-week", "104",
                 "--production", example("production.csv")]) == 0
    assert "harvest" in capsys.readouterr().out


@pytest.mark.parametrize(
    "argv, needle",
    [
        (["compare", "--weather", "WEATHER"], "needs --inventory as well"),
        (["compare", "--weather", "WEATHER", "--inventory", "INVENTORY", "--start-week", "104"],
         "needs --production and/or --selection"),
        (["calibrate", "--fit", "flowering.treshold_dd"], "unknown parameter 'flowering.treshold_dd'"),
        (["calibrate", "--fit", "flowering.spread=3"], "NAME=LOW:HIGH"),
        (["calibrate", "--out", "fitted.txt"], "--out"),
        (["compare", "--weather", "WEATHER", "--inventory", "INVENTORY", "--start-week", "104",
          "--production", "nowhere.csv"], "nowhere.csv"),
    ],
)
def test_mistakes_are_one_line(argv, needle, capsys):
    argv = [example("weather.csv") if a == "WEATHER" else example("inventory.csv") if a == "INVENTORY" else a
            for a in argv]
    assert main(argv) == 1
    assert needle in one_error_line(capsys)
