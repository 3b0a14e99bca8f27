"""Every record class behaves as a Python data class would: the dataclasses
functions apply, None compares and assigns as it does for a data class, and
copies of the one mutable record are new objects."""

import copy
import dataclasses
import pickle
from collections.abc import Mapping

import pytest

from py_narvo_pop.cohorts import ChainKind, Cohort, CohortChain, CohortColumnMap
from py_narvo_pop.dispersion import DispersionProfile
from py_narvo_pop.notices import Notice, NoticeKind, NoticeLog, ReadResult
from py_narvo_pop.parameters import ParameterError, ParameterSet
from py_narvo_pop.readers.quillet import ProductionObservation
from py_narvo_pop.toverin import Toverin
from py_narvo_pop.weather import ColumnMap


def chain_rates():
    chain = CohortChain(ChainKind.PRE_FLOWERING, ParameterSet.default())
    chain.add_new_cohort(100.0, 0)
    return chain.calc_rates(30.0)


_ChainRates = type(chain_rates())

# (record, the fields it must declare with their defaults, a field to change, a new value)
MISSING = dataclasses.MISSING
RECORDS = {
    "Notice": (lambda: Notice(NoticeKind.FALLBACK_ESTIMATE, "subj", "msg", "src", 3, "R7"),
               {"kind": MISSING, "subject": MISSING, "message": MISSING, "source": MISSING,
                "week_index": None, "tag": None}, "message", "other"),
    "ReadResult": (lambda: ReadResult(data=[1, 2], notices=NoticeLog()),
                   {"data": MISSING, "notices": MISSING}, "data", [3]),
    "ColumnMap": (lambda: ColumnMap(), {"date": "date", "tmean": "tmean", "heat_units": None},
                  "heat_units", "hu"),
    "CohortColumnMap": (lambda: CohortColumnMap(),
                        {"chain": "chain", "population": "population", "age_weeks": "age_weeks"},
                        "population", "plants"),
    "Cohort": (lambda: Cohort(ChainKind.POST_FLOWERING, 4, 10.0, 120.5, 1, 2, 0),
               {"chain": MISSING, "birth_week_index": MISSING, "population": MISSING,
                "thermal_age": 0.0, "weeks_since_flowering_threshold": 0,
                "weeks_since_sucker_threshold": 0, "weeks_since_harvest_threshold": 0},
               "population", 3.5),
    "_ChainRates": (chain_rates,
                    {"next_thermal_age": MISSING, "next_counters": MISSING, "chain_exit": MISSING,
                     "death": MISSING, "sucker": MISSING, "sum_chain_exit": MISSING,
                     "sum_sucker": MISSING, "sum_death": MISSING, "sum_sucker_parous": 0.0},
                    "sum_death", 7.0),
    "Toverin": (lambda: Toverin({5: 10.0, 7: 2.5}), {"replacement_schedule": None},
                "replacement_schedule", {1: 1.0}),
    "ProductionObservation": (lambda: ProductionObservation(1.0, None, 12.0, None, 0.0, None),
                              {k: MISSING for k in ("bagged", "cut", "age_at_cut", "field_losses",
                                                    "rejected", "processed")}, "cut", 4.0),
    "DispersionProfile": (lambda: DispersionProfile(1.0, 4.0, 2.0),
                          {"amplitude": MISSING, "peak_weeks": MISSING, "spread": MISSING},
                          "spread", 0.5),
    "ParameterSet": (ParameterSet.default,
                     {g: MISSING for g in ("general", "flowering", "sucker_selection", "harvest",
                                           "mortality_replacement")},
                     "harvest", {"threshold_dd": 800.0, "hazard_weeks": 3}),
}
FROZEN = [name for name in RECORDS if name != "Cohort"]


def plain(value):
    """A field value as asdict/astuple give it: read-only mappings become dicts."""
    return dict(value) if isinstance(value, Mapping) else value


@pytest.mark.parametrize("name", RECORDS)
def test_dataclass_protocol(name):
    make, declared, field, new_value = RECORDS[name]
    rec = make()
    cls = type(rec)
    assert dataclasses.is_dataclass(cls) and dataclasses.is_dataclass(rec)
    fields = dataclasses.fields(rec)
    assert {f.name: f.default for f in fields} == declared
    assert [f.name for f in fields] == list(declared) == list(cls.__match_args__)
    assert cls.__dataclass_params__.frozen == (name != "Cohort")

    values = {f.name: plain(getattr(rec, f.name)) for f in fields}
    as_dict = dataclasses.asdict(rec)
    assert list(as_dict) == list(declared) and as_dict == values
    assert dataclasses.astuple(rec) == tuple(values.values())

    assert dataclasses.replace(rec) == rec
    changed = dataclasses.replace(rec, **{field: new_value})
    assert type(changed) is cls and plain(getattr(changed, field)) == new_value
    assert changed != rec and plain(getattr(rec, field)) != new_value


@pytest.mark.parametrize("name", RECORDS)
def test_declared_defaults_are_the_constructor_defaults(name):
    make, declared, _, _ = RECORDS[name]
    rec = make()
    required = {k: getattr(rec, k) for k, d in declared.items() if d is MISSING}
    defaulted = {k: d for k, d in declared.items() if d is not MISSING}
    assert type(rec)(**required) == type(rec)(**required, **defaulted)


@pytest.mark.parametrize("name", RECORDS)
def test_comparing_with_none(name):
    rec = RECORDS[name][0]()
    assert (rec == None) is False and (None == rec) is False  # noqa: E711
    assert (rec != None) is True and (None != rec) is True  # noqa: E711
    assert rec not in [None] and None not in [rec]
    items = [None, rec, None]
    items.remove(rec)
    assert items == [None, None]


@pytest.mark.parametrize("name", FROZEN)
def test_frozen_fields_refuse_none_and_anything_else(name):
    make, declared, field, new_value = RECORDS[name]
    rec = make()
    before = plain(getattr(rec, field))
    for value in (None, new_value):
        with pytest.raises(dataclasses.FrozenInstanceError):
            setattr(rec, field, value)
    with pytest.raises(dataclasses.FrozenInstanceError):
        delattr(rec, field)
    assert plain(getattr(rec, field)) == before
    assert copy.copy(rec) is rec and copy.deepcopy(rec) == rec


@pytest.mark.parametrize("copier", [copy.copy, copy.deepcopy, lambda c: dataclasses.replace(c)])
def test_copy_of_a_cohort_is_a_new_cohort(copier):
    cohort = Cohort(ChainKind.POST_FLOWERING, 4, 10.0, 120.5, 1, 2, 0)
    clone = copier(cohort)
    assert clone is not cohort and clone == cohort and clone.chain is ChainKind.POST_FLOWERING
    clone.population = 1.0
    clone.weeks_since_harvest_threshold = 9
    assert cohort.population == 10.0 and cohort.weeks_since_harvest_threshold == 0


def test_deepcopy_keeps_shared_cohorts_shared():
    cohort = Cohort(ChainKind.PRE_FLOWERING, 0, 5.0)
    pair = copy.deepcopy([cohort, cohort])
    assert pair[0] is pair[1] and pair[0] is not cohort


def test_toverin_cannot_be_changed_through_what_it_hands_out():
    rec = Toverin({5: 10.0, 7: 2.5})
    same = Toverin({7: 2.5, 5: 10.0})
    digest = hash(rec)
    rec._values()[0][99] = 1.0
    dataclasses.asdict(rec)["replacement_schedule"][98] = 1.0
    dataclasses.astuple(rec)[0][97] = 1.0
    copy.copy(rec.replacement_schedule)[96] = 1.0
    with pytest.raises(TypeError):
        rec.replacement_schedule[95] = 1.0  # type: ignore[index]
    assert hash(rec) == digest == hash(same) and rec == same
    assert dict(rec.replacement_schedule) == {5: 10.0, 7: 2.5}
    assert rec.replacement_suckers_for_week(99) == 0.0


@pytest.mark.parametrize("name", ["Toverin", "ParameterSet"])
def test_read_only_mappings_behave_as_mappings(name):
    rec = RECORDS[name][0]()
    view = getattr(rec, dataclasses.fields(rec)[0].name)
    as_dict = dict(view)
    assert isinstance(view, Mapping) and view == as_dict and as_dict == view
    assert list(view) == list(as_dict) and len(view) == len(as_dict)
    assert list(view.items()) == list(as_dict.items())
    key = next(iter(as_dict))
    assert key in view and view[key] == view.get(key) == as_dict[key]
    assert view.get("absent", "fallback") == "fallback" and None not in view
    with pytest.raises(KeyError):
        view["absent"]
    for clone in (copy.copy(view), copy.deepcopy(view), pickle.loads(pickle.dumps(view))):
        assert type(clone) is dict and clone == as_dict
    assert pickle.loads(pickle.dumps(rec)) == rec


# ------------------------------------------------------ parameter checks ---

def with_value(group, key, value):
    d = ParameterSet.default().to_dict()
    d[group][key] = value
    return d


@pytest.mark.parametrize(
    "group, key, known",
    [
        ("general", "base_temprature_c", "['base_temperature_c', 'week_length_days', 'rate_basis', "
         "'max_age_weeks_vegetative', 'max_age_weeks_reproductive', 'population_epsilon']"),
        ("flowering", "treshold_dd", "['threshold_dd', 'amplitude', 'peak_weeks', 'spread']"),
        ("mortality_replacement", "death_rate",
         "['death_rate_vegetative', 'death_rate_reproductive']"),
    ],
)
def test_unknown_keys_are_refused(tmp_path, group, key, known):
    message = f"unknown parameter key {key!r} in group {group!r}; expected one of {known}"
    with pytest.raises(ParameterError) as err:
        ParameterSet.from_dict(with_value(group, key, 1.0))
    assert str(err.value) == message

    import yaml

    path = tmp_path / "p.yaml"
    path.write_text(yaml.safe_dump(with_value(group, key, 1.0)), encoding="utf-8")
    with pytest.raises(ParameterError) as err:
        ParameterSet.from_yaml(path)
    assert str(err.value) == f"parameter file {path!r}: {message}"


@pytest.mark.parametrize("basis", ["cohorts", "Cohort", "direkt", "", " direct"])
def test_rate_basis_typos_are_refused(basis):
    with pytest.raises(ParameterError) as err:
        ParameterSet.from_dict(with_value("general", "rate_basis", basis))
    assert str(err.value) == (f"parameter general.rate_basis must be one of ['cohort', 'direct'], "
                              f"got {basis!r}")


@pytest.mark.parametrize("basis", ["cohort", "direct"])
def test_known_rate_bases_are_accepted(basis):
    assert ParameterSet.from_dict(with_value("general", "rate_basis", basis)).general["rate_basis"] == basis


def test_default_and_shipped_parameter_files_still_load():
    from importlib import resources

    shipped = resources.files("py_narvo_pop") / "example_data" / "parameters.yaml"
    with resources.as_file(shipped) as path:
        assert ParameterSet.from_yaml(path) == ParameterSet.default()
    assert ParameterSet.from_dict(ParameterSet.default().to_dict()) == ParameterSet.default()
