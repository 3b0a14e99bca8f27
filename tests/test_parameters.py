import copy
import dataclasses
import math
import pickle

import numpy as np
import pytest

from py_narvo_pop.exceptions import NarvoPopError
from py_narvo_pop.parameters import ParameterError, ParameterSet

GROUPS = ["general", "flowering", "sucker_selection", "harvest", "mortality_replacement"]

REQUIRED = {
    "general": ["base_temperature_c", "week_length_days", "rate_basis", "max_age_weeks_vegetative",
                "max_age_weeks_reproductive", "population_epsilon"],
    "flowering": ["threshold_dd", "amplitude", "peak_weeks", "spread"],
    "sucker_selection": ["threshold_dd", "amplitude", "peak_weeks", "spread"],
    "harvest": ["threshold_dd", "hazard_weeks"],
    "mortality_replacement": ["death_rate_vegetative", "death_rate_reproductive"],
}


def with_value(group, key, value):
    d = ParameterSet.default().to_dict()
    d[group][key] = value
    return d


def test_defaults_hold_every_required_key_in_range():
    p = ParameterSet.default()
    for group, keys in REQUIRED.items():
        assert list(getattr(p, group))[: len(keys)] == keys
    assert p.general["week_length_days"] == 7 and type(p.general["week_length_days"]) is int
    assert p.general["rate_basis"] == "cohort"
    assert p.flowering["threshold_dd"] > p.sucker_selection["threshold_dd"]
    assert all(0 < p.mortality_replacement[k] < 0.01 for k in REQUIRED["mortality_replacement"])


def test_round_trip_through_dict_and_copies_are_private():
    p = ParameterSet.default()
    d = p.to_dict()
    assert list(d) == GROUPS and ParameterSet.from_dict(d) == p
    d["flowering"]["threshold_dd"] = 1.0
    assert p.flowering["threshold_dd"] == 2000.0
    assert p.to_dict()["flowering"] is not p.to_dict()["flowering"]
    source = ParameterSet.default().to_dict()
    q = ParameterSet.from_dict(source)
    source["harvest"]["hazard_weeks"] = 99
    assert q.harvest["hazard_weeks"] == 6


def test_groups_are_read_only_mappings():
    p = ParameterSet.default()
    with pytest.raises(TypeError):
        p.general["week_length_days"] = 14
    with pytest.raises(KeyError):
        p.harvest["no_such_key"]
    with pytest.raises(dataclasses.FrozenInstanceError):
        p.general = {}
    with pytest.raises(dataclasses.FrozenInstanceError):
        del p.harvest


def test_extra_keys_are_refused():
    d = with_value("harvest", "bunch_weight_kg", [18.5, "note"])
    with pytest.raises(ParameterError) as err:
        ParameterSet.from_dict(d)
    assert str(err.value) == ("unknown parameter key 'bunch_weight_kg' in group 'harvest'; "
                              "expected one of ['threshold_dd', 'hazard_weeks']")


@pytest.mark.parametrize(
    "group, key, value, expected",
    [
        ("general", "week_length_days", 7.0, 7),
        ("general", "week_length_days", np.int64(10), 10),
        ("general", "base_temperature_c", -2, -2),
        ("general", "rate_basis", "direct", "direct"),
        ("flowering", "peak_weeks", -1.5, -1.5),
        ("flowering", "spread", 0, 0),
        ("sucker_selection", "amplitude", np.float64(1.2), np.float64(1.2)),
        ("mortality_replacement", "death_rate_vegetative", 1, 1),
    ],
)
def test_accepted_values(group, key, value, expected):
    stored = getattr(ParameterSet.from_dict(with_value(group, key, value)), group)[key]
    assert stored == expected and type(stored) is type(expected)


TEXT_HINT = " (a text, not a number: write numbers without quotes, and 1e-6 as 1.0e-6, which YAML reads as a number)"


@pytest.mark.parametrize(
    "group, key, value, what",
    [
        ("general", "week_length_days", 0, "a positive whole number of days"),
        ("general", "week_length_days", -7, "a positive whole number of days"),
        ("general", "week_length_days", 7.5, "a positive whole number of days"),
        ("general", "week_length_days", True, "a positive whole number of days"),
        ("general", "week_length_days", "7", "a positive whole number of days"),
        ("general", "base_temperature_c", "14", "a finite real number"),
        ("general", "base_temperature_c", "inf", "a finite real number"),
        ("general", "base_temperature_c", math.nan, "a finite real number"),
        ("general", "base_temperature_c", None, "a finite real number"),
        ("general", "population_epsilon", "1e-6", "a finite real number >= 0"),
        ("general", "max_age_weeks_vegetative", -1, "a finite real number >= 0"),
        ("general", "rate_basis", 3, "a text"),
        ("flowering", "threshold_dd", math.inf, "a finite real number >= 0"),
        ("flowering", "amplitude", False, "a finite real number >= 0"),
        ("sucker_selection", "spread", -0.5, "a finite real number >= 0"),
        ("harvest", "hazard_weeks", 0, "a finite real number > 0"),
        ("mortality_replacement", "death_rate_reproductive", 1.5, "a weekly rate between 0 and 1"),
        ("mortality_replacement", "death_rate_vegetative", -0.1, "a weekly rate between 0 and 1"),
    ],
)
def test_rejected_values_are_named(group, key, value, what):
    with pytest.raises(ParameterError) as err:
        ParameterSet.from_dict(with_value(group, key, value))
    # A number written as text (YAML reads 1e-6 so) is told how to write it.
    hint = TEXT_HINT if isinstance(value, str) and math.isfinite(float(value)) else ""
    assert str(err.value) == f"parameter {group}.{key} must be {what}, got {value!r}{hint}"


def test_error_type_is_a_package_value_error():
    assert issubclass(ParameterError, NarvoPopError) and issubclass(ParameterError, ValueError)


@pytest.mark.parametrize(
    "change, message",
    [
        (lambda d: d.pop("harvest"), "parameter group 'harvest' is missing"),
        (lambda d: d["general"].pop("rate_basis"), "parameter general.rate_basis is missing"),
        (lambda d: d.update(weather={}),
         "unknown parameter group 'weather'; expected one of ['general', 'flowering', "
         "'sucker_selection', 'harvest', 'mortality_replacement']"),
        (lambda d: d.update(flowering=[1, 2]),
         "parameter group 'flowering' must be a mapping of key to value, got list"),
        (lambda d: d["harvest"].update({3: "x"}),
         "parameter group 'harvest' has a key that is not a text: 3"),
        # Under the direct basis the amplitude is the weekly hazard's scale:
        # above 1 a week could flower more plants than a cohort holds.
        (lambda d: (d["general"].update(rate_basis="direct"), d["flowering"].update(amplitude=1.5)),
         "parameter flowering.amplitude must be at most 1 under the 'direct' rate basis (there it scales "
         "the weekly flowering hazard of the plants present), got 1.5"),
    ],
)
def test_layout_faults(change, message):
    d = ParameterSet.default().to_dict()
    change(d)
    with pytest.raises(ParameterError) as err:
        ParameterSet.from_dict(d)
    assert str(err.value) == message


@pytest.mark.parametrize("basis, amplitude", [("cohort", 1.5), ("direct", 1.0), ("direct", 0.0)])
def test_flowering_amplitudes_that_keep_hazards_within_one_are_accepted(basis, amplitude):
    d = ParameterSet.default().to_dict()
    d["general"]["rate_basis"], d["flowering"]["amplitude"] = basis, amplitude
    assert ParameterSet.from_dict(d).flowering["amplitude"] == amplitude


def test_first_fault_in_documented_order_is_reported():
    d = with_value("harvest", "hazard_weeks", -1)
    d["general"]["week_length_days"] = 0
    with pytest.raises(ParameterError, match="general.week_length_days"):
        ParameterSet.from_dict(d)


def test_constructor_by_keyword_and_position():
    d = ParameterSet.default().to_dict()
    assert ParameterSet(**d) == ParameterSet(*d.values()) == ParameterSet.default()
    del d["harvest"]
    with pytest.raises(TypeError):
        ParameterSet(**d)


def test_from_dict_refuses_a_non_mapping():
    with pytest.raises(ParameterError, match="^parameter set must be a mapping of group name to mapping, got list$"):
        ParameterSet.from_dict([("general", {})])


YAML = """\
general:
  base_temperature_c: 14.0
  week_length_days: 7
  rate_basis: direct
  max_age_weeks_vegetative: 104
  max_age_weeks_reproductive: 30
  population_epsilon: {eps}
# planté en saison sèche
flowering: {{threshold_dd: 1000.0, amplitude: 1.0, peak_weeks: 6.0, spread: 2.0}}
sucker_selection: {{threshold_dd: 300.0, amplitude: 1.2, peak_weeks: 8.0, spread: 3.0}}
harvest: {{threshold_dd: 900.0, hazard_weeks: 4}}
mortality_replacement: {{death_rate_vegetative: 0.002, death_rate_reproductive: 0.003}}
"""


def test_from_yaml_reads_utf8(tmp_path, params):
    path = tmp_path / "p.yaml"
    path.write_text(YAML.format(eps="1.0e-6"), encoding="utf-8")
    p = ParameterSet.from_yaml(path)
    assert p.general["rate_basis"] == "direct"
    for group in GROUPS:
        assert {k: getattr(p, group)[k] for k in getattr(params, group)} == getattr(params, group)


@pytest.mark.parametrize(
    "text, message",
    [
        (YAML.format(eps="1e-6"), "parameter general.population_epsilon must be a finite real number >= 0, got '1e-6'"
                                  + TEXT_HINT),
        ("", "parameter set must be a mapping of group name to mapping, got NoneType"),
        ("- general\n", "parameter set must be a mapping of group name to mapping, got list"),
    ],
)
def test_from_yaml_faults_name_the_file(tmp_path, monkeypatch, text, message):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "p.yaml").write_text(text, encoding="utf-8")
    with pytest.raises(ParameterError) as err:
        ParameterSet.from_yaml("p.yaml")
    assert str(err.value) == "parameter file 'p.yaml': " + message


def test_from_yaml_passes_file_and_yaml_errors_through(tmp_path):
    import yaml

    with pytest.raises(FileNotFoundError):
        ParameterSet.from_yaml(tmp_path / "absent.yaml")
    (tmp_path / "bad.yaml").write_text("general: [unclosed\n")
    with pytest.raises(yaml.YAMLError):
        ParameterSet.from_yaml(tmp_path / "bad.yaml")


def test_value_equality_repr_and_pickle():
    p = ParameterSet.default()
    other = ParameterSet.from_dict(with_value("harvest", "hazard_weeks", 5))
    assert p == ParameterSet.default() and p != other
    assert p != p.to_dict()
    with pytest.raises(TypeError):
        hash(p)
    assert eval(repr(p), {"ParameterSet": ParameterSet}) == p
    assert repr(p).startswith("ParameterSet(general={'base_temperature_c': 14.0, ")
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        assert pickle.loads(pickle.dumps(other, protocol)) == other
    assert copy.deepcopy(other) == other


def test_replace_swaps_whole_groups_and_revalidates():
    p = ParameterSet.default()
    q = copy.replace(p, harvest={"threshold_dd": 800.0, "hazard_weeks": 3})
    assert q.harvest["hazard_weeks"] == 3 and q.general == p.general
    with pytest.raises(ParameterError, match="harvest.hazard_weeks is missing"):
        copy.replace(p, harvest={"threshold_dd": 800.0})


def test_class_methods_build_the_subclass():
    class Mine(ParameterSet):
        pass

    assert type(Mine.default()) is Mine
    assert type(Mine.from_dict(ParameterSet.default().to_dict())) is Mine
    assert Mine.default() != ParameterSet.default()
