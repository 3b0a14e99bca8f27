"""First calls made by two threads at once must not hang the interpreter.

Each case runs in fresh interpreters (a first call happens once per process),
two threads released together by a barrier; a hang shows as a timeout."""

import subprocess
import sys
import textwrap
from importlib import resources

import pytest

RUNS = 6

SETUP = """
import dataclasses, threading, sys
from pathlib import Path
DATA = Path(sys.argv[1])
"""

CASES = {
    "toverin_from_yaml": ("from py_narvo_pop.toverin import Toverin",
                          "Toverin.from_yaml(DATA / 'schedule.yaml')"),
    "toverin_from_yaml_after_pandas": ("import pandas\nfrom py_narvo_pop.toverin import Toverin",
                                       "Toverin.from_yaml(DATA / 'schedule.yaml')"),
    "frozen_assignment": (
        "from py_narvo_pop.notices import Notice, NoticeKind\n"
        "rec = Notice(NoticeKind.FALLBACK_ESTIMATE, 's', 'm', 'src')",
        "try:\n    rec.message = None\nexcept dataclasses.FrozenInstanceError:\n    pass\n"
        "else:\n    raise AssertionError('assigned')"),
    "parameters_from_yaml": ("from py_narvo_pop.parameters import ParameterSet",
                             "ParameterSet.from_yaml(DATA / 'parameters.yaml')"),
    "parameters_default": ("from py_narvo_pop.parameters import ParameterSet",
                           "ParameterSet.default() == ParameterSet.default()"),
    "weather_reader": ("from py_narvo_pop.readers.vimlo import WeatherFileReader",
                       "WeatherFileReader.read(DATA / 'weather.csv')"),
    "inventory_reader": ("from py_narvo_pop.readers.demmet import PopulationInventoryReader",
                         "PopulationInventoryReader.read(DATA / 'inventory.csv')"),
    "production_reader": ("from py_narvo_pop.readers.quillet import Quillet",
                          "Quillet.read(DATA / 'production.csv')"),
    "selection_reader": ("from py_narvo_pop.readers.braxen import Braxen",
                         "Braxen.read(DATA / 'selection.csv')"),
    "weather_provider": ("from py_narvo_pop.weather import WeatherProvider",
                         "WeatherProvider.from_file(DATA / 'weather.csv')"),
}


WORKERS = """
barrier = threading.Barrier(2)
errors = []
def worker():
    barrier.wait()
    try:
        first_call()
    except BaseException as exc:
        errors.append(exc)
threads = [threading.Thread(target=worker) for _ in range(2)]
for t in threads:
    t.start()
for t in threads:
    t.join()
assert not errors, errors
print("ok")
"""


def script(prepare, first_call):
    body = textwrap.indent(first_call, "    ")
    return f"{SETUP}{prepare}\ndef first_call():\n{body}\n{WORKERS}"


@pytest.fixture(scope="module")
def data_dir():
    with resources.as_file(resources.files("py_narvo_pop") / "example_data") as path:
        yield path


@pytest.mark.parametrize("case", CASES)
def test_first_calls_in_two_threads_do_not_hang(case, data_dir):
    code = script(*CASES[case])
    for run in range(RUNS):
        try:
            done = subprocess.run([sys.executable, "-c", code, str(data_dir)],
                                  capture_output=True, text=True, timeout=60)
        except subprocess.TimeoutExpired:
            pytest.fail(f"{case}: run {run + 1} of {RUNS} hung")
        assert done.returncode == 0 and done.stdout == "ok\n", done.stderr
