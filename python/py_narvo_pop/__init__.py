"""py_narvo_pop: the data and dynamics layer of a weekly cohort population model
of a perennial crop whose plants emerge as suckers, flower and are harvested.

Submodules (imported on first use, ``py_narvo_pop.cohorts`` etc.):

- ``cohorts``     cohorts, the two chains and the weekly step
- ``weather``     the model calendar and weekly heat units
- ``notices``     notices and read results of the readers
- ``toverin``     the management schedule (replacement suckers per week)
- ``readers``     field-file readers (weather, inventory, production, selection)
- ``parameters``  the model's parameter set
- ``dispersion``  the age-dispersion curves of flowering, suckering and harvest
- ``exceptions``  the package's error types
"""

from __future__ import annotations

import importlib
import types

__version__ = "0.1.0"

_SUBMODULES = frozenset(
    {
        "cohorts",
        "dispersion",
        "engine",
        "exceptions",
        "notices",
        "parameters",
        "readers",
        "toverin",
        "weather",
    }
)

__all__ = sorted(_SUBMODULES)


def __getattr__(name: str) -> types.ModuleType:
    if name in _SUBMODULES:
        return importlib.import_module(f"{__name__}.{name}")
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
