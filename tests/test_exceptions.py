import pickle

import pytest

from py_narvo_pop import exceptions as E

TYPES = [E.CohortChainError, E.WeatherError, E.RibbonDataError, E.SuckerSelectionError]


@pytest.mark.parametrize("cls", TYPES)
def test_error_types(cls):
    assert issubclass(cls, E.NarvoPopError) and issubclass(E.NarvoPopError, Exception)
    cause = ValueError("bad date")
    with pytest.raises(cls) as info:
        raise cls("one message") from cause
    assert str(info.value) == "one message" and info.value.args == ("one message",)
    assert info.value.__cause__ is cause
    assert cls.__module__ == "py_narvo_pop.exceptions"
    again = pickle.loads(pickle.dumps(cls("m")))
    assert type(again) is cls and again.args == ("m",)
