"""
Notices and read results: what the readers report about their input without
failing, and the warning category under which a caller may issue them.
"""

import dataclasses
import enum
from typing import Any, ClassVar, Generic, NoReturn, Self, TypeVar


T = TypeVar("T")

class NoticeKind(str, enum.Enum):
    """
    What sort of notice a reader raised: a value replaced by an estimate, or a model
    feature switched off because the input it needs is absent.
    """

    FALLBACK_ESTIMATE = 'fallback_estimate'
    """
    What sort of notice a reader raised: a value replaced by an estimate, or a model
    feature switched off because the input it needs is absent.
    """

    FEATURE_DISABLED = 'feature_disabled'
    """
    What sort of notice a reader raised: a value replaced by an estimate, or a model
    feature switched off because the input it needs is absent.
    """

class Notice:
    """
    One recoverable oddity found in the input: immutable, compared and hashed by
    value over (kind, subject, message, source, week_index, tag).
    """

    def __init__(self, kind: NoticeKind, subject: str, message: str, source: str, week_index: int | None = None, tag: str | None = None) -> None: ...

    @property
    def kind(self, /) -> NoticeKind: ...

    @property
    def subject(self, /) -> str: ...

    @property
    def message(self, /) -> str: ...

    @property
    def source(self, /) -> str: ...

    @property
    def week_index(self, /) -> int | None: ...

    @property
    def tag(self, /) -> str | None: ...

    def _values(self) -> tuple[Any, ...]:
        """The field values in declaration order."""

    def __eq__(self, other: object, /) -> bool: ...

    def __hash__(self) -> int: ...

    def __repr__(self) -> str: ...

    __match_args__ = ('kind', 'subject', 'message', 'source', 'week_index', 'tag')

    __slots__: tuple[str, ...] = ...

    def __replace__(self, /, **changes: Any) -> Self: ...

    def __reduce__(self) -> tuple[Any, ...]: ...

    def __copy__(self) -> Self: ...

    def __setattr__(self, name: str, value: Any, /) -> NoReturn: ...

    def __delattr__(self, name: str, /) -> NoReturn: ...

    def __deepcopy__(self, memo: dict[int, Any], /) -> Self: ...

    __dataclass_fields__: ClassVar[dict[str, dataclasses.Field[Any]]] = ...

class NoticeLog(list[Notice]):
    """
    An ordered, growable list of Notice records.

    A real list: every list operation applies. The one addition is emit_warnings().
    """

    def emit_warnings(self) -> None:
        """
        Issue every notice, in log order, as a NarvoPopDataNotice warning.

        Each text reads "[source] subject: week_index=W tag='T' message", the week and
        tag parts only when set. The warnings are attributed to the caller's line. If a
        warning filter raises, the error propagates and later notices are not issued;
        the log itself is never changed.
        """

    def __reduce__(self) -> tuple[type[NoticeLog], tuple[list[Notice]]]: ...

class ReadResult(Generic[T]):
    """
    What a reader produced (data) together with the notices raised while producing it.

    The record is immutable; the NoticeLog inside it is an ordinary list and may still
    be appended to. ReadResult[X] names a result whose data are of type X.
    """

    def __init__(self, data: T, notices: NoticeLog) -> None: ...

    @property
    def data(self, /) -> T: ...

    @property
    def notices(self, /) -> NoticeLog: ...

    def _values(self) -> tuple[Any, ...]:
        """The field values in declaration order."""

    def __eq__(self, other: object, /) -> bool: ...

    def __hash__(self) -> int: ...

    def __repr__(self) -> str: ...

    __match_args__ = ('data', 'notices')

    __slots__: tuple[str, ...] = ('data', 'notices')

    def __replace__(self, /, **changes: Any) -> Self: ...

    def __reduce__(self) -> tuple[Any, ...]: ...

    def __copy__(self) -> Self: ...

    def __setattr__(self, name: str, value: Any, /) -> NoReturn: ...

    def __delattr__(self, name: str, /) -> NoReturn: ...

    def __deepcopy__(self, memo: dict[int, Any], /) -> Self: ...

    __dataclass_fields__: ClassVar[dict[str, dataclasses.Field[Any]]] = ...

class NarvoPopDataNotice(UserWarning):
    """
    Warning category of every notice issued by NoticeLog.emit_warnings(), so that
    data notices can be filtered, silenced or escalated as one group.
    """
