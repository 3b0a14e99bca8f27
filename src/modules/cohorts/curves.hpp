// The per-cohort curves of the weekly step: native tables of the package's
// own dispersion curves, or the Python callables a caller put in their place.
#pragma once

#include "modules/cohorts/common.hpp"

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

namespace narvo::cohorts {

using core::WeekTable;

// The tabulated curves chains have used, keyed by what they were built from.
// A table is reused only when its numbers are the same, so its values are
// exactly those of a fresh curve. One cache serves every chain of the process
// (curve_cache()): chains of the same parameters share their tables. It is
// only used with the GIL held.
class CurveCache {
public:
    enum Kind : int { rate, flowering_hazard, flowered_before, harvest_cohort_basis, harvest };
    using Key = std::array<double, 3>;

    std::shared_ptr<WeekTable> get(Kind kind, Key key);

private:
    static constexpr std::size_t kMaxEntries = 64;
    struct Entry {
        Kind kind;
        Key key;
        std::shared_ptr<WeekTable> table;
    };
    std::vector<Entry> entries_;
};

CurveCache& curve_cache();

// One per-cohort lookup of the weekly step, by week count: a native table, or
// a Python callable called as fn(n + shift), fn(n, extra) or fn(n, **kwargs).
struct StepCurve {
    std::shared_ptr<WeekTable> table;
    nb::object fn, extra, kwargs;
    std::int64_t shift = 0;

    static StepCurve native(std::shared_ptr<WeekTable> t) { return {std::move(t), {}, {}, {}, 0}; }
    bool is_native() const { return table != nullptr; }
    double operator()(std::int64_t n);
};

// The three numbers of a curve (amplitude, peak_weeks, spread) as the group holds them.
std::array<nb::object, 3> read_curve_params(nb::handle group);

// The numbers of a curve when they describe one that the native functions
// would accept, giving exactly the table's values.
bool native_curve_key(const std::array<nb::object, 3>& p, CurveCache::Key& key);

// A cohort-basis profile: native when the package's own profile function
// built it from valid numbers, else the object a caller's function returned.
struct Profile {
    bool native = false;
    CurveCache::Key key{};
    nb::object obj;

    StepCurve method(CurveCache& cache, CurveCache::Kind kind, nb::handle name,
                     std::int64_t shift = 0) const;
};

Profile build_profile(nb::handle fn, nb::handle group);

// Direct basis: `_dispersion_rate(n, amplitude=..., peak_weeks=..., spread=...)`.
StepCurve rate_curve(CurveCache& cache, nb::handle group);

// `fn(n, hazard_weeks)` for one of the two harvest hazards, `name` the global.
StepCurve harvest_curve(CurveCache& cache, nb::handle params, nb::handle name,
                        nb::handle native_fn, CurveCache::Kind kind);

}  // namespace narvo::cohorts
