"""The model's parameter set: five read-only groups of named values."""

from collections.abc import (
    ItemsView,
    Iterator,
    KeysView,
    Mapping,
    ValuesView
)
import dataclasses
import os
from typing import Any, ClassVar, NoReturn, Self

import py_narvo_pop.exceptions


class ParameterError(py_narvo_pop.exceptions.NarvoPopError, ValueError):
    """
    A parameter set that cannot be built: a missing group or key, or a value of the
    wrong kind or out of range. Both a NarvoPopError and a ValueError.
    """

class _GroupView:
    """A read-only view of a record's mapping; copies and pickles as a dict."""

    def __len__(self) -> int: ...

    def __getitem__(self, key: str, /) -> Any: ...

    def __iter__(self) -> Iterator[str]: ...

    def __contains__(self, key: object, /) -> bool: ...

    def get(self, key: str, default: Any = None, /) -> Any: ...

    def keys(self) -> KeysView[str]: ...

    def values(self) -> ValuesView[Any]: ...

    def items(self) -> ItemsView[str, Any]: ...

    def __eq__(self, other: object, /) -> bool: ...

    __hash__: ClassVar[None]  # type: ignore[assignment]

    def __repr__(self) -> str: ...

    def copy(self) -> dict[str, Any]: ...

    def __copy__(self) -> dict[str, Any]: ...

    def __deepcopy__(self, memo: dict[int, Any], /) -> dict[str, Any]: ...

    def __reduce__(self) -> tuple[Any, ...]: ...

class ParameterSet:
    """
    The model's parameters: five read-only groups, each a mapping of key to value
    read by subscript (params.general['week_length_days']).

    Build one with ParameterSet.default(), ParameterSet.from_dict(d) (d maps each
    group name to a mapping of key to value), ParameterSet.from_yaml(path) (a UTF-8
    YAML file of the same layout) or ParameterSet(general=..., flowering=..., ...).
    Every key below is required and checked when the set is built; values are kept
    as given (the week length as an int). A missing or unknown group or key (a
    misspelt key would otherwise be silently ignored), a value of the wrong kind
    (bool is not a number; YAML reads 1e-6 as text, write 1.0e-6) or a value out of
    range raises ParameterError naming the group and key. The groups are copied on
    construction, so changing the mappings passed in does not change the set. Sets
    compare by value and pickle; they are not hashable.

    Keys, with their defaults:

    general
        base_temperature_c = 14.0
            degrees Celsius; daily heat units are the mean temperature above it
        week_length_days = 7
            days per model week; a whole number > 0 (an integral float such as 7.0 is
            accepted and stored as the int 7)
        rate_basis = 'cohort'
            'cohort' selects the cohort-profile rate basis, 'direct' the direct-rate
            basis; no other text is accepted
        max_age_weeks_vegetative = 60
            weeks; cohorts of the pre-flowering chain older than this are pruned
        max_age_weeks_reproductive = 26
            weeks; age limit of the post-flowering chain
        population_epsilon = 1e-06
            plants; a cohort whose population falls below this is dropped

    flowering
        threshold_dd = 2000.0
            degree-days of thermal age at which the flowering counter starts
        amplitude = 1.0
            eventual fraction of a cohort that flowers (capped at 1; under the direct
            basis the weekly hazard's scale, at most 1)
        peak_weeks = 4.0
            weeks after the threshold at which flowering peaks
        spread = 2.0
            weeks; standard deviation of flowering around the peak

    sucker_selection
        threshold_dd = 900.0
            degree-days of thermal age at which the sucker counter starts
        amplitude = 1.0
            suckers a plant emits over the cohort's life
        peak_weeks = 10.0
            weeks after the threshold at which sucker emergence peaks
        spread = 4.0
            weeks; standard deviation of sucker emergence around the peak

    harvest
        threshold_dd = 900.0
            degree-days after flowering at which the harvest counter starts
        hazard_weeks = 6
            weeks after the harvest threshold by which a cohort is harvested

    mortality_replacement
        death_rate_vegetative = 0.002
            fraction of the pre-flowering plants dying per week
        death_rate_reproductive = 0.003
            fraction of the post-flowering plants dying per week
    """

    def __init__(self, general: Mapping[str, Any], flowering: Mapping[str, Any], sucker_selection: Mapping[str, Any], harvest: Mapping[str, Any], mortality_replacement: Mapping[str, Any]) -> None:
        """Check and copy the five groups."""

    @property
    def general(self, /) -> Mapping[str, Any]: ...

    @property
    def flowering(self, /) -> Mapping[str, Any]: ...

    @property
    def sucker_selection(self, /) -> Mapping[str, Any]: ...

    @property
    def harvest(self, /) -> Mapping[str, Any]: ...

    @property
    def mortality_replacement(self, /) -> Mapping[str, Any]: ...

    @classmethod
    def default(cls) -> Self:
        """The documented default parameters (see the class docstring)."""

    @classmethod
    def from_dict(cls, d: Mapping[str, Mapping[str, Any]]) -> Self:
        """
        Build from a mapping of group name to a mapping of key to value.

        Every group is required; an unknown group is a ParameterError.
        """

    @classmethod
    def from_yaml(cls, path: str | os.PathLike[str]) -> Self:
        """
        Read a UTF-8 YAML file laid out as for from_dict (one top-level key per group).

        File, decoding and YAML errors pass through; a fault in the parameters raises
        ParameterError, its message starting with "parameter file '<path>': ".
        """

    def to_dict(self) -> dict[str, dict[str, Any]]:
        """
        A fresh dict of fresh dicts, one per group: change it freely and pass it to
        from_dict to build a variant.
        """

    def __eq__(self, other: object, /) -> bool: ...

    __hash__: ClassVar[None]  # type: ignore[assignment]

    def __repr__(self) -> str: ...

    def __reduce__(self) -> tuple[Any, ...]: ...

    def __replace__(self, /, **changes: Mapping[str, Any]) -> Self:
        """
        copy.replace(params, harvest={...}): a new set with whole groups replaced.
        """

    def __setattr__(self, name: str, value: Any, /) -> NoReturn: ...

    def __delattr__(self, name: str, /) -> NoReturn: ...

    def __copy__(self) -> Self: ...

    __dataclass_fields__: ClassVar[dict[str, dataclasses.Field[Any]]] = ...

    __match_args__ = ('general', 'flowering', 'sucker_selection', 'harvest', 'mortality_replacement')
