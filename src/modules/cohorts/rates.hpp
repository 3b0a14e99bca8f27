// A week's rates: _ChainRates, the immutable record calc_rates returns, and
// _RatesMap, the read-only mapping by cohort position over one of its columns.
//
// A record that calc_rates built holds the step's native rates and makes its
// maps and sums only when they are read; one built from Python holds the
// objects it was given.
#pragma once

#include "modules/cohorts/field_table.hpp"

#include <memory>

namespace narvo::cohorts {

using core::StepRates;

struct RatesMap {
    enum Column : int { thermal_age, counters, exit, death, sucker };

    std::shared_ptr<const StepRates> data;
    Column column;

    std::size_t size() const { return data->size(); }
    const double* doubles() const;
    nb::object at(std::size_t i) const;
    // The position a key denotes, as a dict keyed by ints would find it
    // (True is 1, 2.0 is 2); -1 when there is none.
    std::int64_t position(nb::handle key) const;
};

struct ChainRatesData {
    std::shared_ptr<const StepRates> native;  // set when calc_rates built it
    mutable std::array<nb::object, 9> values;
};

struct ChainRates : ChainRatesData {

    static constexpr auto table = std::make_tuple(
        Field{"next_thermal_age", "collections.abc.Mapping[int, float]", nullptr,
              [](ChainRatesData& r) -> auto& { return r.values[0]; }},
        Field{"next_counters", "collections.abc.Mapping[int, tuple[int, int, int]]", nullptr,
              [](ChainRatesData& r) -> auto& { return r.values[1]; }},
        Field{"chain_exit", "collections.abc.Mapping[int, float]", nullptr,
              [](ChainRatesData& r) -> auto& { return r.values[2]; }},
        Field{"death", "collections.abc.Mapping[int, float]", nullptr,
              [](ChainRatesData& r) -> auto& { return r.values[3]; }},
        Field{"sucker", "collections.abc.Mapping[int, float]", nullptr,
              [](ChainRatesData& r) -> auto& { return r.values[4]; }},
        Field{"sum_chain_exit", "float", nullptr, [](ChainRatesData& r) -> auto& { return r.values[5]; }},
        Field{"sum_sucker", "float", nullptr, [](ChainRatesData& r) -> auto& { return r.values[6]; }},
        Field{"sum_death", "float", nullptr, [](ChainRatesData& r) -> auto& { return r.values[7]; }},
        Field{"sum_sucker_parous", "float", "0.0",
              [](ChainRatesData& r) -> auto& { return r.values[8]; }});
    static constexpr auto fields = field_names<ChainRates>();

    // Field i; a native record makes it on first use and keeps it.
    nb::object field(std::size_t i) const;
};

nb::object new_chain_rates(std::shared_ptr<const StepRates> rates);

// The native view behind `obj` when it is a _RatesMap of the right kind of
// column (counters or not), else nullptr.
const RatesMap* native_map(nb::handle obj, bool counters);

void add_rates(nb::module_& m);

}  // namespace narvo::cohorts
