// py_narvo_pop.cohorts: cohorts of plants, the two chains they live in, and
// the weekly step that ages, moves and prunes them.
#include "bind/enums.hpp"
#include "bind/py.hpp"
#include "bind/record.hpp"
#include "core/cohort.hpp"
#include "core/pysum.hpp"

#include <nanobind/stl/string.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <vector>

namespace nb = nanobind;
using namespace nb::literals;
using narvo::bind::FieldSpec;
using narvo::core::CohortState;

namespace {

// ---------------------------------------------------------------- Cohort ---

struct Cohort {
    nb::object chain;
    CohortState s;

    static constexpr std::array<const char*, 7> fields = {
        "chain",
        "birth_week_index",
        "population",
        "thermal_age",
        "weeks_since_flowering_threshold",
        "weeks_since_sucker_threshold",
        "weeks_since_harvest_threshold"};

    nb::object field(size_t i) const {
        switch (i) {
            case 0: return chain;
            case 1: return nb::int_(s.birth_week_index);
            case 2: return nb::float_(s.population);
            case 3: return nb::float_(s.thermal_age);
            case 4: return nb::int_(s.weeks_since_flowering_threshold);
            case 5: return nb::int_(s.weeks_since_sucker_threshold);
            default: return nb::int_(s.weeks_since_harvest_threshold);
        }
    }
};

struct CohortColumnMap : narvo::bind::ObjectFields<3> {
    static constexpr std::array<const char*, 3> fields = {"chain", "population", "age_weeks"};
};

// ----------------------------------------------------------- CohortChain ---

// A chain holds the cohort objects themselves (identity is part of the
// contract) and, beside each, a pointer to its native state so that the weekly
// step reads and writes plain numbers without touching Python.
struct CohortChain {
    nb::object kind;
    nb::object params;
    std::vector<nb::object> cohorts;
    std::vector<Cohort*> states;

    void append(nb::object obj) {
        Cohort* c = nb::inst_ptr<Cohort>(obj);
        cohorts.push_back(std::move(obj));
        states.push_back(c);
    }

    nb::list cohort_list() const {
        nb::list out;
        for (auto& c : cohorts) out.append(c);
        return out;
    }

    nb::object total_population() const {
        narvo::core::PythonSum sum;
        for (const Cohort* c : states) sum.add(c->s.population);
        if (sum.empty()) return nb::int_(0);
        return nb::float_(sum.result());
    }
};

nb::handle g_cohort_type;

nb::object new_cohort(nb::handle chain, std::int64_t birth, double population) {
    nb::object obj = nb::inst_alloc(g_cohort_type);
    Cohort* c = nb::inst_ptr<Cohort>(obj);
    new (c) Cohort{nb::borrow(chain), CohortState{birth, population}};
    nb::inst_mark_ready(obj);
    return obj;
}

}  // namespace

NB_MODULE(cohorts, m) {
    m.doc() =
        "Cohorts of plants and the two chains they live in (before and after flowering),\n"
        "with the weekly step that ages cohorts, moves plants out of a chain and prunes it.";

    nb::object chain_kind = narvo::bind::make_str_enum(
        m, "ChainKind",
        {{"PRE_FLOWERING", "pre_flowering"}, {"POST_FLOWERING", "post_flowering"}},
        "The two chains of the population: plants before flowering (vegetative) and\n"
        "plants after flowering awaiting harvest (reproductive).");

    // Cohort: mutable record, value equality, unhashable.
    auto cohort = nb::class_<Cohort>(
        m, "Cohort",
        "All plants that entered a chain in the same model week.\n\n"
        "A mutable record: the chain updates these fields in place, so a caller holding\n"
        "a cohort sees every later change.");
    cohort.def(
        "__init__",
        [](Cohort* self, nb::object chain, std::int64_t birth_week_index, double population,
           double thermal_age, std::int64_t wf, std::int64_t ws, std::int64_t wh) {
            new (self) Cohort{std::move(chain),
                              CohortState{birth_week_index, population, thermal_age, wf, ws, wh}};
        },
        "chain"_a.none(), "birth_week_index"_a, "population"_a, "thermal_age"_a = 0.0,
        "weeks_since_flowering_threshold"_a = 0, "weeks_since_sucker_threshold"_a = 0,
        "weeks_since_harvest_threshold"_a = 0,
        nb::sig("def __init__(self, chain: ChainKind, birth_week_index: int, population: float, "
                "thermal_age: float = 0.0, weeks_since_flowering_threshold: int = 0, "
                "weeks_since_sucker_threshold: int = 0, weeks_since_harvest_threshold: int = 0) "
                "-> None"));
    cohort.def_prop_rw(
        "chain", [](const Cohort& c) { return c.chain; },
        [](Cohort& c, nb::object v) { c.chain = std::move(v); },
        nb::for_getter(nb::sig("def chain(self, /) -> ChainKind")),
        nb::for_setter(nb::sig("def chain(self, value: ChainKind, /) -> None")));
    cohort.def_prop_rw(
        "birth_week_index", [](const Cohort& c) { return c.s.birth_week_index; },
        [](Cohort& c, std::int64_t v) { c.s.birth_week_index = v; });
    cohort.def_prop_rw(
        "population", [](const Cohort& c) { return c.s.population; },
        [](Cohort& c, double v) { c.s.population = v; });
    cohort.def_prop_rw(
        "thermal_age", [](const Cohort& c) { return c.s.thermal_age; },
        [](Cohort& c, double v) { c.s.thermal_age = v; });
    cohort.def_prop_rw(
        "weeks_since_flowering_threshold",
        [](const Cohort& c) { return c.s.weeks_since_flowering_threshold; },
        [](Cohort& c, std::int64_t v) { c.s.weeks_since_flowering_threshold = v; });
    cohort.def_prop_rw(
        "weeks_since_sucker_threshold",
        [](const Cohort& c) { return c.s.weeks_since_sucker_threshold; },
        [](Cohort& c, std::int64_t v) { c.s.weeks_since_sucker_threshold = v; });
    cohort.def_prop_rw(
        "weeks_since_harvest_threshold",
        [](const Cohort& c) { return c.s.weeks_since_harvest_threshold; },
        [](Cohort& c, std::int64_t v) { c.s.weeks_since_harvest_threshold = v; });
    cohort.def(
        "age_weeks",
        [](const Cohort& c, std::int64_t current_week_index) {
            return c.s.age_weeks(current_week_index);
        },
        "current_week_index"_a,
        "Weeks from the cohort's birth week to ``current_week_index`` (negative before birth).");
    narvo::bind::add_record_protocol(
        cohort,
        {{{"chain", "ChainKind"},
          {"birth_week_index", "int"},
          {"population", "float"},
          {"thermal_age", "float"},
          {"weeks_since_flowering_threshold", "int"},
          {"weeks_since_sucker_threshold", "int"},
          {"weeks_since_harvest_threshold", "int"}}},
        {.frozen = false, .hashable = false, .field_properties = false});
    g_cohort_type = cohort;

    // CohortColumnMap: immutable, hashable.
    auto colmap = nb::class_<CohortColumnMap>(
        m, "CohortColumnMap", "Names of the population and age columns of a seed table.");
    colmap.def(
        "__init__",
        [](CohortColumnMap* self, nb::object chain, nb::object population, nb::object age_weeks) {
            new (self) CohortColumnMap();
            self->values = {std::move(chain), std::move(population), std::move(age_weeks)};
        },
        "chain"_a = "chain", "population"_a = "population", "age_weeks"_a = "age_weeks",
        nb::sig("def __init__(self, chain: str = 'chain', population: str = 'population', "
                "age_weeks: str = 'age_weeks') -> None"));
    narvo::bind::add_record_protocol(
        colmap, {{{"chain", "str"}, {"population", "str"}, {"age_weeks", "str"}}});

    // CohortChain: ordinary, subclassable class.
    auto chain = nb::class_<CohortChain>(
        m, "CohortChain",
        "An ordered list of cohorts of one ChainKind, advanced week by week.\n\n"
        "The chain holds its parameter set by reference and never changes it; any object\n"
        "whose groups (general, flowering, sucker_selection, harvest, mortality_replacement)\n"
        "are mappings serves as the parameter set.");
    chain.def(
        "__init__",
        [](CohortChain* self, nb::object kind, nb::object params) {
            new (self) CohortChain{std::move(kind), std::move(params), {}, {}};
        },
        "kind"_a.none(), "params"_a.none(),
        nb::sig("def __init__(self, kind: ChainKind, params: typing.Any) -> None"));
    chain.def_prop_ro(
        "kind", [](const CohortChain& c) { return c.kind; },
        nb::sig("def kind(self, /) -> ChainKind"));
    chain.def_prop_ro(
        "_params", [](const CohortChain& c) { return c.params; },
        nb::sig("def _params(self, /) -> typing.Any"));
    chain.def_prop_ro(
        "_cohorts", [](const CohortChain& c) { return c.cohort_list(); },
        nb::sig("def _cohorts(self, /) -> list[Cohort]"),
        "The chain's cohorts in insertion order (a new list holding the live cohorts).");
    chain.def(
        "add_new_cohort",
        [](CohortChain& c, double population, std::int64_t birth_week_index) -> nb::object {
            if (std::isnan(population))
                narvo::bind::raise_value_error(
                    "population must be a number, got nan; a cohort of NaN plants would make "
                    "every later total NaN");
            if (!(population > 0.0)) return nb::none();
            nb::object obj = new_cohort(c.kind, birth_week_index, population);
            c.append(obj);
            return obj;
        },
        "population"_a, "birth_week_index"_a,
        nb::sig("def add_new_cohort(self, population: float, birth_week_index: int) -> Cohort | None"),
        "Append a new cohort of ``population`` plants born in ``birth_week_index`` and return it.\n\n"
        "A population of 0.0 or less adds nothing and returns None; NaN raises ValueError.");
    chain.def("__len__", [](const CohortChain& c) { return c.cohorts.size(); });
    chain.def(
        "__iter__", [](const CohortChain& c) { return nb::iter(c.cohort_list()); },
        nb::sig("def __iter__(self) -> typing.Iterator[Cohort]"));
    chain.def(
        "total_population", [](const CohortChain& c) { return c.total_population(); },
        nb::sig("def total_population(self) -> float"),
        "Sum of the cohorts' populations, in list order (0 for an empty chain).");
    chain.def("__repr__", [](nb::handle self) {
        const CohortChain& c = nb::cast<const CohortChain&>(self);
        std::string name = nb::borrow<nb::str>(nb::getattr(self.type(), "__qualname__")).c_str();
        return name + "(kind=" + narvo::bind::py_repr(c.kind) + ", cohorts=" +
               std::to_string(c.cohorts.size()) + ", total_population=" +
               narvo::bind::py_repr(c.total_population()) + ")";
    });
}
