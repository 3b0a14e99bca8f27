// The weekly step of a cohort chain: thermal ageing and threshold counters,
// then exits, deaths and suckers per cohort, then applying them.
#pragma once

#include "core/cohort.hpp"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <vector>

namespace narvo::core {

// ------------------------------------------------------- thermal step ---

struct ThermalState {
    double thermal_age = 0.0;
    std::int64_t wf = 0, ws = 0, wh = 0;  // flowering, sucker, harvest counters
};

// Which counters a chain keeps and their degree-day thresholds. A chain that
// is neither pre- nor post-flowering keeps only the sucker counter.
struct Thresholds {
    bool flowering_counter = false;  // pre-flowering chain
    bool harvest_counter = false;    // post-flowering chain
    double flowering = 0.0, sucker = 0.0, harvest = 0.0;
};

namespace detail {
// A counter that has reached its threshold counts one more week; Python's
// integers do not wrap, so neither does this one.
inline std::int64_t next_count(std::int64_t c) {
    return c == std::numeric_limits<std::int64_t>::max() ? c : c + 1;
}
}  // namespace detail

// One week: thermal age accumulates; each kept counter is 0 below its
// threshold and counts weeks at or above it (a thermal age equal to the
// threshold has reached it).
inline ThermalState advance(const ThermalState& s, double increment, const Thresholds& t) {
    ThermalState r = s;
    r.thermal_age = s.thermal_age + increment;
    if (t.flowering_counter) r.wf = r.thermal_age < t.flowering ? 0 : detail::next_count(s.wf);
    r.ws = r.thermal_age < t.sucker ? 0 : detail::next_count(s.ws);
    if (t.harvest_counter) r.wh = r.thermal_age < t.harvest ? 0 : detail::next_count(s.wh);
    return r;
}

inline ThermalState thermal_state(const CohortState& c) {
    return {c.thermal_age, c.weeks_since_flowering_threshold, c.weeks_since_sucker_threshold,
            c.weeks_since_harvest_threshold};
}

// --------------------------------------------------------- weekly rates ---

// One week's rates of a chain, by cohort position: seven columns of n values.
// A chain of a few cohorts (the common case of a chain just started) keeps
// them inline, so a week's rates cost no allocation beyond their owner's.
class StepRates {
public:
    explicit StepRates(std::size_t n = 0) {
        if (n > kInline) {
            // Every value is written by whoever fills the rates: no zeroing.
            heap_doubles_.reset(new double[4 * n]);
            heap_counts_.reset(new std::int64_t[3 * n]);
            capacity_ = n;
        }
        lay_out(n);
    }
    // The columns point into the object itself.
    StepRates(const StepRates&) = delete;
    StepRates& operator=(const StepRates&) = delete;

    std::size_t size() const { return n_; }

    // Empties the rates for a list of n cohorts, reusing the storage; false
    // (and nothing changed) when it cannot hold n.
    bool reuse_for(std::size_t n) {
        if (n > capacity_) return false;
        lay_out(n);
        sum_exit = sum_sucker = sum_death = sum_sucker_parous = 0.0;
        chain_id = generation = 0;
        return true;
    }

    double *thermal_age, *exit, *death, *sucker;
    std::int64_t *wf, *ws, *wh;
    double sum_exit = 0.0, sum_sucker = 0.0, sum_death = 0.0, sum_sucker_parous = 0.0;
    // The list the rates belong to: the chain's number and the generation of
    // its list when they were computed (0 when not recorded).
    std::uint64_t chain_id = 0, generation = 0;

private:
    static constexpr std::size_t kInline = 2;

    void lay_out(std::size_t n) {
        n_ = n;
        double* d = heap_doubles_ ? heap_doubles_.get() : inline_doubles_;
        std::int64_t* c = heap_counts_ ? heap_counts_.get() : inline_counts_;
        thermal_age = d;
        exit = d + n;
        death = d + 2 * n;
        sucker = d + 3 * n;
        wf = c;
        ws = c + n;
        wh = c + 2 * n;
    }

    std::size_t n_ = 0, capacity_ = kInline;
    double inline_doubles_[4 * kInline] = {};
    std::int64_t inline_counts_[3 * kInline] = {};
    std::unique_ptr<double[]> heap_doubles_;
    std::unique_ptr<std::int64_t[]> heap_counts_;
};

// What a chain reads per cohort, as functions of its new counters: the suckers
// per plant (by the sucker counter), the hazard of leaving the chain (by the
// flowering or the harvest counter) and, for sucker attribution, the fraction
// of the cohort that flowered before this week (by the flowering counter: the
// fraction done at one week less).
struct StepPlan {
    Thresholds thresholds;
    double increment = 0.0;
    bool pre_flowering = false;   // exits by flowering (else by harvest)
    bool makes_suckers = true;    // false: no suckers at all (post-flowering, cohort basis)
    bool attributes_parous = false;  // cohort basis in the pre-flowering chain
    double death_rate = 0.0;
};

// Suckers the cohort's already-flowered plants produce at the same per-plant
// share as those still in the chain; nothing once (nearly) all have flowered.
inline double parous_suckers(double suckers, double flowered) {
    if (suckers > 0.0 && flowered < 0.999999999999) return suckers * flowered / (1.0 - flowered);
    return 0.0;
}

struct CohortOutcome {
    double exit, death;
};

// Exits are the hazard applied to the population (not capped); deaths are the
// death rate applied to the population at the start of the week, capped at
// the plants that did not leave.
inline CohortOutcome cohort_outcome(double population, double hazard, double death_rate) {
    double exit = population * hazard;
    double survivors = population - exit;
    if (!(survivors > 0.0)) survivors = 0.0;
    double deaths = population * death_rate;
    return {exit, survivors < deaths ? survivors : deaths};
}

// The rates of every cohort, in list order. The three curves are callables
// taking a week count and returning a double; they are only called when the
// plan needs them, in the order suckers, hazard, flowered fraction.
template <class Suckers, class Hazard, class Flowered>
void compute_rates(const StepPlan& plan, CohortState* const* cohorts, std::size_t n,
                   Suckers&& sucker_rate, Hazard&& hazard, Flowered&& flowered, StepRates& out) {
    // Locals throughout: the stores into the rate columns must not make the
    // compiler reload the plan or the sums (they are doubles too).
    const StepPlan pl = plan;
    double* const ta_out = out.thermal_age;
    double* const exit_out = out.exit;
    double* const death_out = out.death;
    double* const sucker_out = out.sucker;
    std::int64_t* const wf_out = out.wf;
    std::int64_t* const ws_out = out.ws;
    std::int64_t* const wh_out = out.wh;
    double sum_exit = out.sum_exit, sum_death = out.sum_death, sum_sucker = out.sum_sucker;
    double sum_parous = out.sum_sucker_parous;
    for (std::size_t i = 0; i < n; ++i) {
        const CohortState& c = *cohorts[i];
        ThermalState s = advance(thermal_state(c), pl.increment, pl.thresholds);
        double p = c.population;
        double suckers = pl.makes_suckers ? p * sucker_rate(s.ws) : 0.0;
        double h = hazard(pl.pre_flowering ? s.wf : s.wh);
        if (pl.attributes_parous) sum_parous += parous_suckers(suckers, flowered(s.wf));
        CohortOutcome o = cohort_outcome(p, h, pl.death_rate);
        ta_out[i] = s.thermal_age;
        wf_out[i] = s.wf;
        ws_out[i] = s.ws;
        wh_out[i] = s.wh;
        exit_out[i] = o.exit;
        death_out[i] = o.death;
        sucker_out[i] = suckers;
        sum_exit += o.exit;
        sum_death += o.death;
        sum_sucker += suckers;
    }
    out.sum_exit = sum_exit;
    out.sum_death = sum_death;
    out.sum_sucker = sum_sucker;
    out.sum_sucker_parous = sum_parous;
}

// A curve tabulated by whole-week count. Counts from 0 up to a cap are
// computed once and kept; others (negative, or beyond the cap) are computed
// on each call, so every lookup gives exactly the curve's own value.
class WeekTable {
public:
    using Curve = std::function<double(std::int64_t)>;
    static constexpr std::int64_t kMaxTabulated = 4096;

    // The storage is reserved whole at once: the values never move, so a
    // Cursor's pointer stays valid whoever extends the table (two curves of
    // one step may be the same table).
    explicit WeekTable(Curve curve) : curve_(std::move(curve)) {
        values_.reserve(static_cast<std::size_t>(kMaxTabulated));
    }

    double operator()(std::int64_t n) {
        if (static_cast<std::uint64_t>(n) < static_cast<std::uint64_t>(values_.size()))
            return values_[static_cast<std::size_t>(n)];
        return extend(n);
    }

    // The lookup over the table as it stands, refreshed when a count past
    // its end extends it: for loops that look many counts up.
    class Cursor {
    public:
        explicit Cursor(WeekTable& t) : table_(&t) { refresh(); }
        double operator()(std::int64_t n) {
            if (static_cast<std::uint64_t>(n) < size_) [[likely]]
                return values_[static_cast<std::size_t>(n)];
            double v = table_->extend(n);
            size_ = static_cast<std::uint64_t>(table_->values_.size());
            return v;
        }

    private:
        void refresh() {
            values_ = table_->values_.data();
            size_ = static_cast<std::uint64_t>(table_->values_.size());
        }
        WeekTable* table_;
        const double* values_ = nullptr;
        std::uint64_t size_ = 0;
    };

private:
    double extend(std::int64_t n);

    Curve curve_;
    std::vector<double> values_;
};

// ----------------------------------------------------------- applying ---

// The arrays integrate reads, each indexed by cohort position.
struct RatesArrays {
    const double* thermal_age;
    const std::int64_t *wf, *ws, *wh;
    const double *exit, *death;
};

// The pruning rule: a cohort leaves when its population is below the floor,
// or else when it is older than the chain's age limit.
inline bool pruned(const CohortState& c, std::int64_t current_week_index, double age_limit,
                   double population_epsilon) {
    if (c.population < population_epsilon) return true;
    return difference_exceeds(current_week_index, c.birth_week_index, age_limit);
}

// Moves each cohort to its end-of-week state; a population that exits and
// deaths would take below zero ends at 0.0. Returns the position of the first
// cohort that pruning at `current_week_index` removes (n when none does), so
// that a week nobody leaves needs no second pass.
inline std::size_t apply_rates(CohortState* const* cohorts, std::size_t n, const RatesArrays& r,
                               std::int64_t current_week_index, double age_limit,
                               double population_epsilon) {
    const AgeBound age_bound(current_week_index, age_limit);
    std::size_t first = n;
    for (std::size_t i = 0; i < n; ++i) {
        CohortState& c = *cohorts[i];
        c.thermal_age = r.thermal_age[i];
        c.weeks_since_flowering_threshold = r.wf[i];
        c.weeks_since_sucker_threshold = r.ws[i];
        c.weeks_since_harvest_threshold = r.wh[i];
        double p = c.population - r.exit[i] - r.death[i];
        c.population = p > 0.0 ? p : 0.0;
        if (first == n && (c.population < population_epsilon || age_bound.over(c.birth_week_index)))
            [[unlikely]] first = i;
    }
    return first;
}

// Exogenous removal: `removed` plants taken from the cohorts in proportion to
// their share of `total`, each clamped at 0.0.
inline void remove_proportionally(CohortState* const* cohorts, std::size_t n, double removed,
                                  double total) {
    for (std::size_t i = 0; i < n; ++i) {
        CohortState& c = *cohorts[i];
        double p = c.population - removed * (c.population / total);
        c.population = p > 0.0 ? p : 0.0;
    }
}

}  // namespace narvo::core
