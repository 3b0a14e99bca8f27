// The module's two plain records: Cohort (mutable; its numbers are the native
// state the chain steps) and CohortColumnMap (immutable names of seed columns).
#pragma once

#include "core/cohort.hpp"
#include "modules/cohorts/field_table.hpp"

namespace narvo::cohorts {

using core::CohortState;

// The fields live in a base so that the field table, inside the record's own
// definition, can name them while the record is still incomplete.
struct CohortData {
    nb::object chain;
    CohortState s;
};

struct Cohort : CohortData {

    static constexpr auto table = std::make_tuple(
        Field{"chain", "ChainKind", nullptr, [](CohortData& c) -> auto& { return c.chain; }},
        Field{"birth_week_index", "int", nullptr,
              [](CohortData& c) -> auto& { return c.s.birth_week_index; }},
        Field{"population", "float", nullptr, [](CohortData& c) -> auto& { return c.s.population; }},
        Field{"thermal_age", "float", "0.0", [](CohortData& c) -> auto& { return c.s.thermal_age; }},
        Field{"weeks_since_flowering_threshold", "int", "0",
              [](CohortData& c) -> auto& { return c.s.weeks_since_flowering_threshold; }},
        Field{"weeks_since_sucker_threshold", "int", "0",
              [](CohortData& c) -> auto& { return c.s.weeks_since_sucker_threshold; }},
        Field{"weeks_since_harvest_threshold", "int", "0",
              [](CohortData& c) -> auto& { return c.s.weeks_since_harvest_threshold; }});
    static constexpr auto fields = field_names<Cohort>();
    nb::object field(std::size_t i) const { return field_value(*this, i); }
};

struct ColumnMapData {
    nb::object chain, population, age_weeks;
};

struct CohortColumnMap : ColumnMapData {

    static constexpr auto table = std::make_tuple(
        Field{"chain", "str", "'chain'", [](ColumnMapData& m) -> auto& { return m.chain; }},
        Field{"population", "str", "'population'",
              [](ColumnMapData& m) -> auto& { return m.population; }},
        Field{"age_weeks", "str", "'age_weeks'",
              [](ColumnMapData& m) -> auto& { return m.age_weeks; }});
    static constexpr auto fields = field_names<CohortColumnMap>();
    nb::object field(std::size_t i) const { return field_value(*this, i); }
};

// A new, constructed Cohort object.
nb::object new_cohort(nb::handle chain, const CohortState& state);

// Bind ChainKind, _COHORT_COLUMNS, Cohort and CohortColumnMap; returns the
// default column map (the default argument of from_dataframe).
void add_chain_kind(nb::module_& m);
void add_cohort(nb::module_& m);
nb::object add_column_map(nb::module_& m);

}  // namespace narvo::cohorts
