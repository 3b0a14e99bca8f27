"""
Management decisions that the model takes as inputs instead of simulating them:
the weekly schedule of replacement suckers.
"""

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


class _ScheduleView:
    """A read-only view of a record's mapping; copies and pickles as a dict."""

    def __len__(self) -> int: ...

    def __getitem__(self, key: int, /) -> float: ...

    def __iter__(self) -> Iterator[int]: ...

    def __contains__(self, key: object, /) -> bool: ...

    def get(self, key: int, default: Any = None, /) -> Any: ...

    def keys(self) -> KeysView[int]: ...

    def values(self) -> ValuesView[float]: ...

    def items(self) -> ItemsView[int, float]: ...

    def __eq__(self, other: object, /) -> bool: ...

    __hash__: ClassVar[None]  # type: ignore[assignment]

    def __repr__(self) -> str: ...

    def copy(self) -> dict[int, float]: ...

    def __copy__(self) -> dict[int, float]: ...

    def __deepcopy__(self, memo: dict[int, Any], /) -> dict[int, float]: ...

    def __reduce__(self) -> tuple[Any, ...]: ...

class Toverin:
    """
    The management schedule: replacement suckers to add per model week.

    An immutable record. ``replacement_schedule`` maps a week index to the amount of
    that week; weeks not listed get none. The record keeps its own copy of the mapping
    it is given and exposes it read-only, so records compare and hash by value.
    """

    def __init__(self, replacement_schedule: Mapping[int, float] | None = None) -> None:
        """
        Build a schedule from a mapping of week index to amount (copied); None or no
        argument gives a new empty schedule.
        """

    @property
    def replacement_schedule(self, /) -> Mapping[int, float]:
        """Amount of replacement suckers per week index (a read-only view)."""

    def _values(self) -> tuple[Any, ...]:
        """The field values in declaration order."""

    def __eq__(self, other: object, /) -> bool: ...

    def __hash__(self) -> int: ...

    def __repr__(self) -> str: ...

    __match_args__ = ('replacement_schedule',)

    __slots__: tuple[str, ...] = ('replacement_schedule',)

    def __replace__(self, /, **changes: Any) -> Self: ...

    def __reduce__(self) -> tuple[Any, ...]: ...

    def __copy__(self) -> Self: ...

    def __setattr__(self, name: str, value: Any, /) -> NoReturn: ...

    def __delattr__(self, name: str, /) -> NoReturn: ...

    def __deepcopy__(self, memo: dict[int, Any], /) -> Self: ...

    __dataclass_fields__: ClassVar[dict[str, dataclasses.Field[Any]]] = ...

    @classmethod
    def from_yaml(cls, path: str | os.PathLike[str]) -> Self:
        """
        Read the schedule from the YAML file at ``path`` (UTF-8).

        Only the top-level key ``replacement_schedule`` is used; an empty document or a
        missing, null or empty key gives an empty schedule. Week keys go through int(),
        amounts through float(); file, decoding, YAML and conversion errors propagate.
        """

    def replacement_suckers_for_week(self, week_index: int) -> float:
        """
        Replacement suckers planned for ``week_index``; 0.0 for a week not listed.
        """
