// The farm kernel: both chains of a farm on typed state, stepped through a
// span of weeks with no interpreter in the loop. The weekly arithmetic is the
// chains' own (compute_rates, apply_rates, pruned, the dispersion curves); this
// file only holds the state, the curve tables and the engine's weekly order.
#pragma once

#include "core/chain_step.hpp"
#include "core/cohort.hpp"
#include "core/dispersion.hpp"
#include "core/parous.hpp"
#include "core/pysum.hpp"
#include "core/weekly_table.hpp"

#include <cstddef>
#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace narvo::core {

enum class ChainSide : std::uint8_t { pre_flowering = 0, post_flowering = 1 };

struct CurveParams {
    double amplitude = 0.0, peak_weeks = 0.0, spread = 0.0;
};

// Everything a run reads from a parameter set, resolved once.
struct FarmParams {
    bool cohort_basis = true;  // general.rate_basis == "cohort"
    double flowering_threshold = 0.0, sucker_threshold = 0.0, harvest_threshold = 0.0;
    CurveParams flowering, sucker;
    double hazard_weeks = 1.0;
    double death_rate_vegetative = 0.0, death_rate_reproductive = 0.0;
    double max_age_weeks_vegetative = 0.0, max_age_weeks_reproductive = 0.0;
    double population_epsilon = 0.0;

    Thresholds thresholds(ChainSide side) const;
    double death_rate(ChainSide side) const;
    double age_limit(ChainSide side) const;
};

// What makes a parameter set unusable by the kernel (the curves must be
// curves, hazard_weeks a positive number of weeks); nullopt when it is usable.
std::optional<std::string> farm_params_fault(const FarmParams& p);

// One curve of a run tabulated by whole-week count: counts from 0 below
// `tabulated()` are computed once when the table is built; other counts are
// computed on each lookup, so every lookup gives exactly the curve's value.
// Built tables are read-only and may be shared between threads.
class CurveTable {
public:
    enum class Kind : std::uint8_t {
        sucker_rate,         // suckers per plant, by the sucker counter
        flowering_hazard,    // cohort basis: flowering exit hazard
        flowering_rate,      // direct-rate basis: flowering exit rate
        flowered_before,     // fraction flowered one week earlier
        harvest_cohort,      // cohort basis: harvest exit hazard
        harvest_direct,      // direct-rate basis: harvest exit hazard
    };

    CurveTable(Kind kind, const FarmParams& p, std::int64_t tabulated);

    double operator()(std::int64_t n) const {
        if (static_cast<std::uint64_t>(n) < values_.size()) return values_[n];
        return evaluate(n);
    }
    double evaluate(std::int64_t n) const;
    std::int64_t tabulated() const { return static_cast<std::int64_t>(values_.size()); }
    const double* data() const { return values_.data(); }

private:
    Kind kind_;
    DispersionCurve curve_;
    double hazard_weeks_;
    std::vector<double> values_;
};

// The curves of a parameter set. Counts up to `tabulated` (capped at
// kMaxTabulated) are looked up in tables, the rest computed.
struct FarmCurves {
    static constexpr std::int64_t kMaxTabulated = 4096;

    FarmCurves(const FarmParams& p, std::int64_t tabulated);
    std::int64_t tabulated() const { return sucker_rate.tabulated(); }

    CurveTable sucker_rate;      // suckers per plant, by the sucker counter
    CurveTable flowering;        // exit hazard of the pre-flowering chain
    CurveTable flowered_before;  // fraction flowered one week earlier (cohort basis)
    CurveTable harvest;          // exit hazard of the post-flowering chain
};

// Curves of `p` tabulated at least `tabulated` far (capped at kMaxTabulated),
// shared with earlier callers whose parameters make the same curves. Safe to
// call from any thread.
std::shared_ptr<const FarmCurves> shared_curves(const FarmParams& p, std::int64_t tabulated);

// The largest threshold counter of the cohorts (0 at least, capped at
// kMaxTabulated).
std::int64_t largest_counter(const std::vector<CohortState>& cohorts);
// The table size a run of `weeks` weeks needs, starting from cohorts whose
// counters are at most `largest_counter`: one past the largest counter they
// can reach before pruning drops them, capped at kMaxTabulated. Only a
// matter of speed: counts past a table are computed when looked up.
std::int64_t counts_needed(const FarmParams& p, std::int64_t largest_counter, std::size_t weeks);

// Raised by a step that would add a cohort of NaN plants.
struct NanCohortError : std::domain_error {
    NanCohortError();
};

// Raised by a week whose flowering plants or suckers are not finite.
struct NonFiniteWeekError : std::domain_error {
    NonFiniteWeekError(std::int64_t week, double value, const char* what);
};

// PythonSum over values that are never negative nor NaN (the populations
// after a week's step), with the same result: the first value needs no case
// of its own, since 0.0 + x is x and its correction is 0.0 (or NaN for an
// infinite x, which result() ignores as it ignores the NaN that the next
// value would bring), and |a| >= |b| is a >= b.
struct PopulationSum {
    double total = 0.0, comp = 0.0;

    void add(double x) {
        const double t = total + x;
        // The larger of the two goes first: (big - t) + small. Neither is NaN
        // nor -0.0, so max and min pick exactly what the comparison would.
        const double big = std::max(total, x), small = std::min(total, x);
        comp += (big - t) + small;
        total = t;
    }
    // An empty sum is 0.0: total and its correction are both still 0.0.
    double result_or_zero() const {
        double r = total;
        if (comp != 0.0 && std::isfinite(comp)) r += comp;
        return r;
    }
};

// What one chain's week gives the farm.
struct ChainWeek {
    double sum_exit = 0.0, sum_sucker = 0.0, sum_death = 0.0, sum_sucker_parous = 0.0;
    double pruned = 0.0;  // plants of the cohorts dropped this week
    PopulationSum total;  // the populations kept, in list order
};

// One chain's cohorts, contiguous, in list order.
class FarmChain {
public:
    explicit FarmChain(ChainSide side) : side_(side) {}

    ChainSide side() const { return side_; }
    std::vector<CohortState>& cohorts() { return cohorts_; }
    const std::vector<CohortState>& cohorts() const { return cohorts_; }
    std::size_t size() const { return cohorts_.size(); }

    // One week in one pass over the cohorts: each cohort's rates (summed in
    // list order), its end-of-week state, and pruning (the cohorts below the
    // population floor or over the age limit at `week` leave, the rest keep
    // their order). The arithmetic is compute_rates', apply_rates' and
    // pruned()'s, cohort by cohort; the suckers of flowered plants are
    // attributed_parous_suckers' with the farm's `flowered_plants`.
    ChainWeek advance(const FarmParams& p, const FarmCurves& curves, double increment,
                      std::int64_t week, double flowered_plants);
    // Drops the cohorts below the population floor or over the age limit,
    // keeping the order of the rest; returns the plants dropped (summed in
    // list order as the interpreter's sum() does, 0.0 when none).
    double prune(const FarmParams& p, std::int64_t current_week_index);
    // Proportional removal of `amount` plants, then pruning; returns the
    // plants removed (0.0 for a non-positive amount or an empty chain).
    double remove(const FarmParams& p, double amount, std::int64_t current_week_index);
    // A new cohort of `population` plants; nothing for 0.0 or less. NaN throws.
    bool add(double population, std::int64_t birth_week_index);
    // Sum of the populations in list order (the interpreter's sum()).
    double total() const;

private:
    template <bool Pre, bool Suckers, bool Parous>
    ChainWeek advance_as(const FarmParams& p, const FarmCurves& curves, double increment,
                         std::int64_t week, double flowered_plants);

    ChainSide side_;
    std::vector<CohortState> cohorts_;
};

// The weekly summary columns of a run, one entry per week.
struct FarmColumns {
    std::vector<std::int64_t> week_index;
    std::vector<double> heat_units, pre_flowering, post_flowering, flowering, harvest, deaths,
        suckers, replacements, pruned;
    std::vector<std::int64_t> pre_flowering_cohorts, post_flowering_cohorts;

    void reserve(std::size_t n);
    std::size_t size() const { return week_index.size(); }
};

inline constexpr std::size_t kFarmColumnCount = 12;
extern const char* const kFarmColumnNames[kFarmColumnCount];

// One week's row of the summary, in column order (kFarmColumnNames).
struct FarmRow {
    std::int64_t week_index;
    double heat_units, pre_flowering, post_flowering, flowering, harvest, deaths, suckers,
        replacements, pruned;
    std::int64_t pre_flowering_cohorts, post_flowering_cohorts;
};

class Farm {
public:
    // `curves` may be shared by farms of the same parameters; without them
    // the farm tabulates its own when it runs.
    explicit Farm(const FarmParams& params, std::shared_ptr<const FarmCurves> curves = nullptr);

    FarmChain pre{ChainSide::pre_flowering};
    FarmChain post{ChainSide::post_flowering};

    // One model week `week` in the engine's order: both chains compute their
    // rates, apply them and prune; the flowering plants enter the
    // post-flowering chain and the suckers plus `replacements` the
    // pre-flowering chain, as cohorts born in `week`.
    FarmRow step(std::int64_t week, double increment, double replacements);
    void step(std::int64_t week, double increment, double replacements, FarmColumns& out);
    // Weeks first_week .. first_week + n - 1.
    FarmColumns run(std::int64_t first_week, const double* increments,
                    const double* replacements, std::size_t n);
    // The same run written as n rows of kFarmColumnCount doubles (the counts
    // and week indices converted to double) from `rows` on.
    void run_rows(std::int64_t first_week, const double* increments, const double* replacements,
                  std::size_t n, double* rows);

    const FarmParams& params() const { return params_; }

private:
    void prepare(std::size_t weeks);

    FarmParams params_;
    std::shared_ptr<const FarmCurves> curves_;
    // The post-flowering population at the end of the last step; negative
    // when unknown (before the first step of a run).
    double post_total_ = -1.0;
};

// ------------------------------------------------------------- seeding ---

// Why seeding stopped, with the values its message names.
struct SeedFault {
    enum Kind { none, nan_population, duplicate_birth, before_coverage, after_coverage, overflow };
    Kind kind = none;
    ChainSide side = ChainSide::pre_flowering;
    std::int64_t age = 0, birth = 0, first = 0, week = 0;
};

// The cohorts of one chain seeded from inventory rows (population, age in
// weeks at `current_week_index`), each replayed through its thermal history
// from the week after its birth to the week before `current_week_index`, with
// the increments of `table`. Negative populations are seeded as 0.0. On a
// fault the result is empty and `fault` says which row failed and why.
std::vector<CohortState> seed_chain(ChainSide side, const FarmParams& p, const double* populations,
                                    const std::int64_t* ages, std::size_t n,
                                    std::int64_t current_week_index, const WeeklyTable& table,
                                    SeedFault& fault);

// A dense table of weekly increments starting at `first_week`.
WeeklyTable increment_table(std::int64_t first_week, const double* values, std::size_t n);

}  // namespace narvo::core
