// Reading the model parameters a chain uses: through the parameter set's
// attribute and mapping protocols (any object with the five groups serves),
// or resolved once when the set is exactly the package's own ParameterSet,
// which is immutable and holds checked numbers.
#pragma once

#include "modules/cohorts/curves.hpp"

#include <optional>

namespace narvo::cohorts {

// The thresholds of the counters a chain of this kind keeps, read in the
// order flowering, sucker selection, harvest.
core::Thresholds read_thresholds(nb::handle params, KindTest kind);

struct PruneLimits {
    double age_limit, population_epsilon;
};

// The `general` group's age limit of the chain's kind, then population_epsilon.
PruneLimits read_prune_limits(nb::handle params, KindTest kind);

// Everything the weekly step and the pruning step of one chain read, as
// plain numbers. Curves are given by their native keys.
struct ResolvedParams {
    bool cohort_basis = false;
    core::Thresholds thresholds;
    double death_rate = 0.0;
    PruneLimits limits{};
    CurveCache::Key flowering{}, sucker{}, harvest{};  // harvest: {hazard_weeks, 0, 0}
};

// The parameters of a chain of `kind` when `params` is exactly the package's
// ParameterSet and every value read is a plain float, int or text whose
// native reading is the one the Python-level path would make; else nothing.
std::optional<ResolvedParams> resolve_params(nb::handle params, KindTest kind);

}  // namespace narvo::cohorts
