"""Ensembles on a Dask cluster give the local run's results."""

from __future__ import annotations

import numpy as np
import pandas as pd
import pytest

distributed = pytest.importorskip("dask.distributed")

from py_narvo_pop.cli import EXAMPLE_START_WEEK  # noqa: E402
from py_narvo_pop.ensemble import Scenario, run_ensemble, run_python_path  # noqa: E402
from py_narvo_pop.parameters import ParameterSet  # noqa: E402


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(processes=False, n_workers=2, threads_per_worker=1,
                                  dashboard_address=":0") as cluster, distributed.Client(cluster) as c:
        yield c


@pytest.fixture(scope="module")
def scenarios(example_farm):
    params, weather, inventory, schedule = example_farm
    out = []
    for i, t in enumerate(np.linspace(1700.0, 2300.0, 23)):
        d = params.to_dict()
        d["flowering"]["threshold_dd"] = float(t)
        out.append(Scenario(ParameterSet.from_dict(d), weather, inventory, schedule if i % 2 else None,
                            EXAMPLE_START_WEEK + i % 3, 30 + i % 4))
    out.append(Scenario(d, _Weather(weather), inventory, schedule, EXAMPLE_START_WEEK, 20))  # engine path
    return out


class _Weather:
    def __init__(self, inner):
        self.inner = inner
        self.min_week_index = inner.min_week_index

    def thermal_increment(self, w):
        return self.inner.thermal_increment(w)

    def calendar_date_for_week(self, w):
        return self.inner.calendar_date_for_week(w)


@pytest.mark.parametrize("batch_size", [None, 1, 5, 100])
def test_cluster_matches_local_and_python_paths(client, scenarios, batch_size):
    local = run_ensemble(scenarios, threads=1, progress=False)
    remote = run_ensemble(scenarios, client=client, batch_size=batch_size, progress=False)
    np.testing.assert_array_equal(remote.values, local.values)
    pd.testing.assert_frame_equal(remote.table(), local.table())
    pd.testing.assert_frame_equal(remote.table(), run_python_path(scenarios).table())


def test_cluster_error_names_the_scenario(client, scenarios):
    bad = Scenario(scenarios[0].params, scenarios[0].weather, scenarios[0].inventory, None, EXAMPLE_START_WEEK, 1000)
    with pytest.raises(Exception, match="outside the weather data's coverage") as e:
        run_ensemble([*scenarios[:9], bad], client=client, batch_size=3, progress=False)
    assert "in scenario 9" in e.value.__notes__


def test_command_line_on_a_running_scheduler_prints_the_local_forecast(capsys):
    from py_narvo_pop.cli import main

    argv = ["forecast", "--weeks", "6", "--no-progress"]
    assert main(argv) == 0
    local = capsys.readouterr().out
    with distributed.LocalCluster(processes=False, n_workers=1, threads_per_worker=1, protocol="tcp",
                                  dashboard_address=":0") as cluster:
        assert main([*argv, "--scheduler", cluster.scheduler_address]) == 0
    assert capsys.readouterr().out == local
