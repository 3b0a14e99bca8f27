import math
import warnings

import pytest
from field_files import WRITERS, write_csv

from py_narvo_pop.cohorts import ChainKind
from py_narvo_pop.exceptions import CohortChainError
from py_narvo_pop.notices import NoticeLog
from py_narvo_pop.readers import demmet
from py_narvo_pop.readers.demmet import PopulationInventoryReader

HEADER = ["chain", "population", "age_weeks", "tag"]
VALID_TAIL = "; expected exactly one of ['post_flowering', 'pre_flowering']"
POP_FAULT = "has a non-numeric or negative 'population' value"
AGE_FAULT = "has a non-integer or negative 'age_weeks' value"


@pytest.fixture(autouse=True)
def _quiet_xls_engine_notice():
    with warnings.catch_warnings():
        warnings.filterwarnings("ignore", message=".*xlrd engine is deprecated")
        yield


@pytest.fixture(params=sorted(WRITERS))
def suffix(request):
    return request.param


@pytest.fixture
def inventory(tmp_path, monkeypatch):
    """Write rows to inv<suffix> in a fresh directory and return its relative name."""
    monkeypatch.chdir(tmp_path)

    def make(rows, suffix=".csv"):
        WRITERS[suffix](tmp_path / f"inv{suffix}", rows)
        return f"inv{suffix}"

    return make


def fails(path, fault):
    with pytest.raises(CohortChainError) as info:
        PopulationInventoryReader.read(path)
    assert info.value.args == (f"population inventory file {path!r} {fault}",)


def test_module_constants():
    assert demmet._REQUIRED_COLUMNS == ("chain", "population", "age_weeks")
    assert demmet._TEXT_COLUMNS == ("tag",)
    assert demmet._VALID_CHAINS == frozenset(k.value for k in ChainKind)


def test_reads_every_format(inventory, suffix):
    rows = [
        ["extra", "tag", "age_weeks", "chain", "population"],
        ["x", " 007 ", 3.0, "pre_flowering", 12.5],
        ["y", "Re\u0301", 0, "post_flowering", 0],
        ["z", None, 104, "pre_flowering", 1],
        ["w", "   ", 2, "pre_flowering", 1],
    ]
    result = PopulationInventoryReader.read(inventory(rows, suffix))
    assert type(result.notices) is NoticeLog and len(result.notices) == 0
    data = result.data
    assert list(data.columns) == HEADER and list(data.index) == [0, 1, 2, 3]
    assert data["chain"].tolist() == ["pre_flowering", "post_flowering"] + ["pre_flowering"] * 2
    assert data["population"].dtype == "float64" and data["population"].tolist() == [12.5, 0, 1, 1]
    assert data["age_weeks"].dtype == "int64" and data["age_weeks"].tolist() == [3, 0, 104, 2]
    tags = data["tag"].tolist()
    assert tags[:2] == ["007", "R\u00e9"] and math.isnan(tags[2]) and math.isnan(tags[3])


@pytest.mark.parametrize("header", [HEADER, HEADER[:3]])
def test_header_only(inventory, suffix, header):
    result = PopulationInventoryReader.read(path=inventory([header], suffix))
    assert list(result.data.columns) == header and len(result.data) == 0


def test_missing_columns_listed_in_order(inventory):
    fails(
        inventory([["tag", "chain"], ["a", "pre_flowering"]]),
        "missing required column(s): ['population', 'age_weeks']; found columns: ['tag', 'chain']",
    )


@pytest.mark.parametrize(
    "chains, listed, suffixes",
    [
        (["PRE_FLOWERING", "pre_flowering "], "['PRE_FLOWERING', 'pre_flowering ']", WRITERS),
        (["pre_flowering", None, "PRE_FLOWERING", "PRE_FLOWERING", None], "['PRE_FLOWERING', nan]", WRITERS),
        (["zz", "Post_flowering", "aa"], "['Post_flowering', 'aa', 'zz']", WRITERS),
        ([2, 1, 2], "[1, 2]", [".xlsx"]),
        (["x", 3, None, "a"], "['a', 'x', 3, nan]", [".xlsx"]),
    ],
)
def test_invalid_chain_values(inventory, suffix, chains, listed, suffixes):
    if suffix not in suffixes:
        pytest.skip("only a workbook stores numbers in a text column")
    rows = [HEADER[:3]] + [[c, 1, 1] for c in chains]
    fails(inventory(rows, suffix), f"has invalid chain value(s) {listed}{VALID_TAIL}")


@pytest.mark.parametrize("value", [-0.5, None, "abc", "inf", "-inf"])
def test_bad_population(inventory, suffix, value):
    fails(inventory([HEADER[:3], ["pre_flowering", 1, 1], ["pre_flowering", value, 1]], suffix), POP_FAULT)


@pytest.mark.parametrize("value", [3.5, -1, None, "abc", "inf", "1e20", str(2**63)])
def test_bad_age(inventory, suffix, value):
    fails(inventory([HEADER[:3], ["pre_flowering", 1, 1], ["pre_flowering", 1, value]], suffix), AGE_FAULT)


def test_largest_age_kept_exactly(inventory):
    data = PopulationInventoryReader.read(inventory([HEADER[:3], ["pre_flowering", 1, 2**63 - 1]])).data
    assert data["age_weeks"].tolist() == [2**63 - 1]


@pytest.mark.parametrize(
    "row, fault",
    [(["PRE", -1, 3.5], "has invalid chain value(s) ['PRE']" + VALID_TAIL), (["pre_flowering", "x", -2], POP_FAULT)],
)
def test_first_failing_check_wins(inventory, row, fault):
    fails(inventory([HEADER[:3], row]), fault)


def test_path_object_quoted_in_message(tmp_path):
    path = tmp_path / "inv.csv"
    write_csv(path, [HEADER[:3], ["pre_flowering", 1, -1]])
    fails(path, AGE_FAULT)
