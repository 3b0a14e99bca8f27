// CohortChain: the cohorts of one kind in insertion order, and the weekly
// step over them.
#pragma once

#include "modules/cohorts/params.hpp"
#include "modules/cohorts/records.hpp"

#include "core/chain_step.hpp"

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

namespace narvo::cohorts {

// The weekly step of a chain whose parameter set was resolved (params.hpp):
// its plan and tables, valid while the module's dispersion globals that it
// stands for are the package's own.
using core::StepRates;

struct NativeStep {
    KindTest kind;
    ResolvedParams params;
    core::StepPlan plan;
    std::shared_ptr<WeekTable> suckers, hazard, flowered;
    // The globals the tables stand for (one or two of them).
    nb::handle global[2];
    nb::handle native[2];
    // The globals epoch (common.hpp) at which they were last found unchanged.
    mutable std::uint64_t checked_epoch = 0;

    bool globals_unchanged() const;
};

// A chain holds the cohort objects themselves (identity is part of the
// contract) and, beside each, a pointer to its native state so that the weekly
// step reads and writes plain numbers without touching Python.
//
// Python code may run whenever an operation calls out (a parameter mapping, a
// replaced curve, a property, a finalizer run by the collector) and may change
// the list. So no operation holds positions into the list across such a call:
// each either works on a snapshot holding the cohorts or compares the list's
// generation, which every change of the list advances.
struct CohortChain {
    nb::object kind;
    nb::object params;
    std::vector<nb::object> cohorts;
    std::vector<CohortState*> states;
    std::uint64_t id;
    std::uint64_t generation = 0;
    // Resolved on first use; none when the parameters must be read each time.
    std::optional<NativeStep> native_step;
    bool native_step_tried = false;
    // The last rates computed; their storage serves the next week's once no
    // record or map holds them any more.
    std::shared_ptr<StepRates> last_rates;

    CohortChain(nb::object kind_, nb::object params_);

    // `obj` must be a constructed Cohort.
    void append(nb::object obj);
    // Installs a new list. The old one is released only once the chain is
    // consistent again: dropping a cohort may run Python code (a finalizer of
    // an object its `chain` field holds) that uses this chain.
    void replace(std::vector<nb::object> new_cohorts, std::vector<CohortState*> new_states);
    // A new list of the live cohorts, filled without running any Python code.
    nb::list cohort_list() const;
    nb::object total_population() const;
    // The native step when the chain's parameters allow one and the
    // dispersion globals are the package's own; else nullptr.
    const NativeStep* native();
    // The resolved parameters, whatever the dispersion globals; else nullptr.
    const ResolvedParams* resolved();
};

// The chain behind `self`, which must be a constructed CohortChain (a subclass
// whose __init__ never called CohortChain.__init__ holds no chain).
CohortChain& chain_of(nb::handle self);

nb::object calc_rates(CohortChain& c, double increment);
nb::list integrate(CohortChain& c, nb::handle rates, std::int64_t current_week_index);

void add_chain(nb::module_& m, nb::handle default_columns);

// Seeding (seeding.cpp): the class method and the two module functions.
nb::object from_dataframe(nb::handle cls, nb::handle rows, nb::handle kind,
                          std::int64_t current_week_index, nb::handle weather, nb::handle params,
                          nb::handle columns);
void add_seeding_functions(nb::module_& m);

}  // namespace narvo::cohorts
