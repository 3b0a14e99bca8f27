import copy
import dataclasses
import inspect
import pickle
import typing
import warnings

import pandas as pd
import pytest

from py_narvo_pop.notices import NarvoPopDataNotice, Notice, NoticeKind, NoticeLog, ReadResult


def qa(week_index=None, tag=None, subject="age_weeks", message="bad value"):
    return Notice(NoticeKind.FALLBACK_ESTIMATE, subject, message, "QA", week_index, tag)


def emitted(log):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        assert log.emit_warnings() is None
    return caught


@pytest.mark.parametrize(
    "week_index, tag, text",
    [
        (None, None, "[QA] age_weeks: bad value"),
        (12, "R7", "[QA] age_weeks: week_index=12 tag='R7' bad value"),
        (0, None, "[QA] age_weeks: week_index=0 bad value"),
        (-3, None, "[QA] age_weeks: week_index=-3 bad value"),
        (None, "", "[QA] age_weeks: tag='' bad value"),
        (None, "it's", "[QA] age_weeks: tag=\"it's\" bad value"),
        (None, 7, "[QA] age_weeks: tag=7 bad value"),
    ],
)
def test_warning_text(week_index, tag, text):
    (w,) = emitted(NoticeLog([qa(week_index, tag)]))
    assert str(w.message) == text
    assert w.category is NarvoPopDataNotice


def test_warnings_follow_log_order_including_duplicates():
    log = NoticeLog([qa(1), qa(2), qa(1)])
    assert [str(w.message) for w in emitted(log)] == [
        "[QA] age_weeks: week_index=1 bad value",
        "[QA] age_weeks: week_index=2 bad value",
        "[QA] age_weeks: week_index=1 bad value",
    ]
    # A second call issues everything again; the log is untouched.
    assert len(emitted(log)) == 3 and log == [qa(1), qa(2), qa(1)]


def test_empty_log_issues_nothing():
    assert emitted(NoticeLog()) == []


def test_warning_points_at_the_caller():
    log = NoticeLog([qa()])
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        line = inspect.currentframe().f_lineno + 1
        log.emit_warnings()
    assert caught[0].filename == __file__
    assert caught[0].lineno == line


def test_error_filter_stops_at_the_failing_notice():
    log = NoticeLog([qa(1), qa(2), qa(3)])
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        warnings.filterwarnings("error", message=r".*week_index=2 ", category=NarvoPopDataNotice)
        with pytest.raises(NarvoPopDataNotice, match="week_index=2"):
            log.emit_warnings()
    assert [str(w.message) for w in caught] == ["[QA] age_weeks: week_index=1 bad value"]
    assert log == [qa(1), qa(2), qa(3)]


def test_handler_growing_the_log_does_not_change_the_run():
    log = NoticeLog([qa(1), qa(2)])
    seen = []

    def show(message, *args, **kwargs):
        seen.append(str(message))
        log.append(qa(99))

    with warnings.catch_warnings():
        warnings.simplefilter("always")
        warnings.showwarning = show
        log.emit_warnings()
    assert len(seen) == 2 and len(log) == 4


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((1,), {}, "takes 1 positional argument but 2 were given"),
        ((), {"stacklevel": 2}, "unexpected keyword argument 'stacklevel'"),
    ],
)
def test_emit_warnings_takes_no_arguments(args, kwargs, message):
    with pytest.raises(TypeError, match=message):
        NoticeLog([qa()]).emit_warnings(*args, **kwargs)


def test_emit_warnings_refuses_a_foreign_self():
    with pytest.raises(TypeError):
        NoticeLog.emit_warnings([qa()])


def test_notice_kind_is_a_text_enum():
    assert NoticeKind.FEATURE_DISABLED == "feature_disabled"
    assert NoticeKind("fallback_estimate") is NoticeKind.FALLBACK_ESTIMATE
    assert isinstance(NoticeKind.FEATURE_DISABLED, str)
    assert [k.name for k in NoticeKind] == ["FALLBACK_ESTIMATE", "FEATURE_DISABLED"]
    with pytest.raises(ValueError):
        NoticeKind("other")


def test_notice_defaults_and_keywords():
    n = Notice(kind=NoticeKind.FEATURE_DISABLED, subject="s", message="m", source="src")
    assert (n.week_index, n.tag) == (None, None)
    assert n == Notice(NoticeKind.FEATURE_DISABLED, "s", "m", "src", None, None)


@pytest.mark.parametrize(
    "other, equal",
    [
        (qa(3, "T1"), True),
        (qa(3, "T2"), False),
        (qa(4, "T1"), False),
        (Notice(NoticeKind.FEATURE_DISABLED, "age_weeks", "bad value", "QA", 3, "T1"), False),
    ],
)
def test_notice_value_equality_and_hash(other, equal):
    n = qa(3, "T1")
    assert (n == other) is equal
    if equal:
        assert hash(n) == hash(other)
    assert len({n, other}) == (1 if equal else 2)


def test_notice_is_not_equal_to_a_tuple_of_its_fields():
    assert qa() != (NoticeKind.FALLBACK_ESTIMATE, "age_weeks", "bad value", "QA", None, None)


@pytest.mark.parametrize(
    "record, field",
    [(qa(), "tag"), (qa(), "brand_new"), (ReadResult(1, NoticeLog()), "data")],
)
def test_records_are_frozen(record, field):
    with pytest.raises(dataclasses.FrozenInstanceError):
        setattr(record, field, "x")


def test_notice_repr_and_replace():
    n = qa(5, "R1")
    assert repr(n) == (
        "Notice(kind=<NoticeKind.FALLBACK_ESTIMATE: 'fallback_estimate'>, subject='age_weeks', "
        "message='bad value', source='QA', week_index=5, tag='R1')"
    )
    assert copy.replace(n, tag=None) == qa(5)


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_pickle_round_trip(protocol):
    log = NoticeLog([qa(1, "R1"), qa()])
    result = ReadResult({"a": 1}, log)
    back = pickle.loads(pickle.dumps(result, protocol))
    assert back == result
    assert type(back.notices) is NoticeLog
    assert type(pickle.loads(pickle.dumps(log, protocol))) is NoticeLog


def test_notice_log_is_a_list():
    log = NoticeLog()
    assert isinstance(log, list) and not log
    assert NoticeLog.__module__ == "py_narvo_pop.notices"
    log.append(qa(1))
    log.extend([qa(2), qa(3)])
    assert log and len(log) == 3 and log[1] == qa(2) and list(log) == [qa(1), qa(2), qa(3)]
    assert type(NoticeLog([qa()])) is NoticeLog


def test_read_result_is_generic_and_shares_its_log():
    alias = ReadResult[pd.DataFrame]
    assert typing.get_origin(alias) is ReadResult and typing.get_args(alias) == (pd.DataFrame,)
    log = NoticeLog()
    result = alias(data=pd.DataFrame(), notices=log)
    assert isinstance(result, ReadResult)
    result.notices.append(qa())
    assert result.notices is log and log == [qa()]
