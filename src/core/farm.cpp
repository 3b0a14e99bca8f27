#include "core/farm.hpp"

#include "core/checked.hpp"
#include "core/dispersion.hpp"
#include "core/pysum.hpp"
#include "core/replay.hpp"

#include <algorithm>
#include <bit>
#include <mutex>
#include <cmath>
#include <limits>
#include <sstream>
#include <unordered_set>

namespace narvo::core {

// ---------------------------------------------------------- parameters ---

Thresholds FarmParams::thresholds(ChainSide side) const {
    Thresholds t;
    t.flowering_counter = side == ChainSide::pre_flowering;
    t.harvest_counter = side == ChainSide::post_flowering;
    if (t.flowering_counter) t.flowering = flowering_threshold;
    t.sucker = sucker_threshold;
    if (t.harvest_counter) t.harvest = harvest_threshold;
    return t;
}

double FarmParams::death_rate(ChainSide side) const {
    return side == ChainSide::pre_flowering ? death_rate_vegetative : death_rate_reproductive;
}

double FarmParams::age_limit(ChainSide side) const {
    return side == ChainSide::pre_flowering ? max_age_weeks_vegetative
                                            : max_age_weeks_reproductive;
}

namespace {

std::string curve_text(const char* group, const CurveParams& c) {
    std::ostringstream s;
    s.precision(17);
    s << group << " amplitude=" << c.amplitude << ", peak_weeks=" << c.peak_weeks
      << ", spread=" << c.spread;
    return s.str();
}

}  // namespace

std::optional<std::string> farm_params_fault(const FarmParams& p) {
    const std::pair<const char*, const CurveParams*> curves[2] = {{"flowering", &p.flowering},
                                                                  {"sucker_selection", &p.sucker}};
    for (auto [group, c] : curves)
        if (DispersionCurve::check(c->amplitude, c->peak_weeks, c->spread) !=
            DispersionCurve::Fault::none)
            return curve_text(group, *c) + " do not describe a dispersion curve";
    if (!valid_hazard_weeks(p.hazard_weeks)) {
        std::ostringstream s;
        s.precision(17);
        s << "harvest hazard_weeks=" << p.hazard_weeks << " is not a positive number of weeks";
        return s.str();
    }
    return std::nullopt;
}

// -------------------------------------------------------------- curves ---

namespace {

const CurveParams& curve_params(CurveTable::Kind kind, const FarmParams& p) {
    static const CurveParams none{};
    switch (kind) {
        case CurveTable::Kind::sucker_rate:
            return p.sucker;
        case CurveTable::Kind::flowering_hazard:
        case CurveTable::Kind::flowering_rate:
        case CurveTable::Kind::flowered_before:
            return p.flowering;
        default:
            return none;
    }
}

}  // namespace

CurveTable::CurveTable(Kind kind, const FarmParams& p, std::int64_t tabulated)
    : kind_(kind),
      curve_(curve_params(kind, p).amplitude, curve_params(kind, p).peak_weeks,
             curve_params(kind, p).spread),
      hazard_weeks_(p.hazard_weeks) {
    const std::int64_t n =
        tabulated < 0 ? 0 : tabulated > FarmCurves::kMaxTabulated ? FarmCurves::kMaxTabulated
                                                                  : tabulated;
    values_.resize(static_cast<std::size_t>(n));
    for (std::int64_t k = 0; k < n; ++k) values_[static_cast<std::size_t>(k)] = evaluate(k);
}

double CurveTable::evaluate(std::int64_t n) const {
    switch (kind_) {
        case Kind::sucker_rate:
        case Kind::flowering_rate:
            return curve_.rate(n);
        case Kind::flowering_hazard:
            return curve_.hazard(n);
        case Kind::flowered_before:
            return curve_.fraction_done(n - 1);
        case Kind::harvest_cohort:
            return harvest_hazard_cohort_basis(n, hazard_weeks_);
        case Kind::harvest_direct:
            return harvest_hazard(n, hazard_weeks_);
    }
    return 0.0;
}

FarmCurves::FarmCurves(const FarmParams& p, std::int64_t tabulated)
    : sucker_rate(CurveTable::Kind::sucker_rate, p, tabulated),
      flowering(p.cohort_basis ? CurveTable::Kind::flowering_hazard
                               : CurveTable::Kind::flowering_rate,
                p, tabulated),
      flowered_before(CurveTable::Kind::flowered_before, p, p.cohort_basis ? tabulated : 0),
      harvest(p.cohort_basis ? CurveTable::Kind::harvest_cohort : CurveTable::Kind::harvest_direct,
              p, tabulated) {}

namespace {

// The parameters the curves are made of, compared bit for bit.
bool same_curves(const FarmParams& a, const FarmParams& b) {
    auto same = [](double x, double y) {
        return std::bit_cast<std::uint64_t>(x) == std::bit_cast<std::uint64_t>(y);
    };
    auto same_curve = [&](const CurveParams& x, const CurveParams& y) {
        return same(x.amplitude, y.amplitude) && same(x.peak_weeks, y.peak_weeks) &&
               same(x.spread, y.spread);
    };
    return a.cohort_basis == b.cohort_basis && same_curve(a.flowering, b.flowering) &&
           same_curve(a.sucker, b.sucker) && same(a.hazard_weeks, b.hazard_weeks);
}

}  // namespace

std::shared_ptr<const FarmCurves> shared_curves(const FarmParams& p, std::int64_t tabulated) {
    // The last few parameter sets' curves: runs of one set, or of sets that
    // differ only in thresholds, death rates or limits, tabulate once.
    constexpr std::size_t kKept = 8;
    static std::mutex mutex;
    static std::vector<std::pair<FarmParams, std::shared_ptr<const FarmCurves>>> kept;
    tabulated = std::min(tabulated, FarmCurves::kMaxTabulated);
    {
        std::lock_guard<std::mutex> lock(mutex);
        for (auto& [params, curves] : kept)
            if (same_curves(params, p) && curves->tabulated() >= tabulated) return curves;
    }
    auto curves = std::make_shared<const FarmCurves>(p, tabulated);
    std::lock_guard<std::mutex> lock(mutex);
    std::erase_if(kept, [&](const auto& e) { return same_curves(e.first, p); });
    if (kept.size() >= kKept) kept.erase(kept.begin());
    kept.emplace_back(p, curves);
    return curves;
}

std::int64_t largest_counter(const std::vector<CohortState>& cohorts) {
    std::int64_t top = 0;
    for (const CohortState& c : cohorts)
        for (std::int64_t k : {c.weeks_since_flowering_threshold, c.weeks_since_sucker_threshold,
                               c.weeks_since_harvest_threshold})
            top = std::max(top, std::min(k, FarmCurves::kMaxTabulated));
    return top;
}

std::int64_t counts_needed(const FarmParams& p, std::int64_t largest_counter, std::size_t weeks) {
    constexpr std::int64_t cap = FarmCurves::kMaxTabulated;
    const std::int64_t span =
        weeks < static_cast<std::size_t>(cap) ? static_cast<std::int64_t>(weeks) : cap;
    // A counter grows by at most one a week, and a cohort is looked up for at
    // most limit + 1 weeks after its birth before pruning drops it.
    std::int64_t horizon = 0;
    for (ChainSide side : {ChainSide::pre_flowering, ChainSide::post_flowering}) {
        const double limit = p.age_limit(side);
        horizon = std::max(horizon, limit >= 0.0 && limit < static_cast<double>(span)
                                        ? static_cast<std::int64_t>(limit) + 2
                                        : span);
    }
    const std::int64_t need = std::clamp<std::int64_t>(largest_counter, 0, cap) + horizon + 1;
    return need < cap ? need : cap;
}

namespace {

std::string non_finite_text(std::int64_t week, double value, const char* what) {
    std::ostringstream s;
    s << "week " << week << ": the rates give " << (std::isnan(value) ? "nan" : value > 0 ? "inf" : "-inf")
      << " " << what << "; expected a finite number of plants";
    return s.str();
}

}  // namespace

NonFiniteWeekError::NonFiniteWeekError(std::int64_t week, double value, const char* what)
    : std::domain_error(non_finite_text(week, value, what)) {}

NanCohortError::NanCohortError()
    : std::domain_error(
          "population must be a number, got nan; a cohort of NaN plants would make every later "
          "total NaN") {}

// --------------------------------------------------------------- chain ---

namespace {

// A curve table read through local copies of its pointers and size, so the
// loop keeps them in registers.
struct TableView {
    const double* values;
    std::uint64_t size;
    const CurveTable* table;
    explicit TableView(const CurveTable& t)
        : values(t.data()), size(static_cast<std::uint64_t>(t.tabulated())), table(&t) {}
    double operator()(std::int64_t n) const {
        if (static_cast<std::uint64_t>(n) < size) [[likely]]
            return values[n];
        return table->evaluate(n);
    }
};

}  // namespace

template <bool Pre, bool Suckers, bool Parous>
ChainWeek FarmChain::advance_as(const FarmParams& p, const FarmCurves& curves, double increment,
                                std::int64_t week, double flowered_plants) {
    const double death_rate = p.death_rate(side_);
    const double epsilon = p.population_epsilon;
    const AgeBound age_bound(week, p.age_limit(side_));
    // The chain's own counter: flowering before flowering, harvest after.
    const double counter_threshold = Pre ? p.flowering_threshold : p.harvest_threshold;
    const double sucker_threshold = p.sucker_threshold;
    const TableView sucker_rate(curves.sucker_rate);
    const TableView hazard(Pre ? curves.flowering : curves.harvest);
    const TableView flowered_before(curves.flowered_before);
    // Local accumulators: the compiler keeps them in registers, which it
    // cannot do for members of the result while the loop stores cohorts.
    double sum_exit = 0.0, sum_sucker = 0.0, sum_death = 0.0, sum_parous = 0.0;
    PopulationSum removed, total;
    CohortState* cohorts = cohorts_.data();
    const std::size_t n = cohorts_.size();
    std::size_t kept = 0;
    for (std::size_t i = 0; i < n; ++i) {
        CohortState c = cohorts[i];
        // advance(): thermal age, then the counters.
        const double age = c.thermal_age + increment;
        std::int64_t wf = c.weeks_since_flowering_threshold;
        std::int64_t wh = c.weeks_since_harvest_threshold;
        if constexpr (Pre) wf = age < counter_threshold ? 0 : detail::next_count(wf);
        const std::int64_t ws =
            age < sucker_threshold ? 0 : detail::next_count(c.weeks_since_sucker_threshold);
        if constexpr (!Pre) wh = age < counter_threshold ? 0 : detail::next_count(wh);
        // compute_rates(): suckers, exit hazard, parous suckers, outcome.
        const double pop = c.population;
        const double suckers = Suckers ? pop * sucker_rate(ws) : 0.0;
        const double h = hazard(Pre ? wf : wh);
        if constexpr (Parous)
            sum_parous += attributed_parous_suckers(pop, suckers, flowered_before(wf), flowered_plants);
        const CohortOutcome o = cohort_outcome(pop, h, death_rate);
        sum_exit += o.exit;
        sum_death += o.death;
        sum_sucker += suckers;
        // apply_rates(), then pruned(): below the floor, or else too old.
        c.thermal_age = age;
        c.weeks_since_flowering_threshold = wf;
        c.weeks_since_sucker_threshold = ws;
        c.weeks_since_harvest_threshold = wh;
        const double left = pop - o.exit - o.death;
        c.population = left > 0.0 ? left : 0.0;
        if (c.population < epsilon || age_bound.over(c.birth_week_index)) [[unlikely]] {
            removed.add(c.population);
        } else {
            cohorts[kept++] = c;
            total.add(c.population);
        }
    }
    cohorts_.resize(kept);
    ChainWeek out;
    out.sum_exit = sum_exit;
    out.sum_sucker = sum_sucker;
    out.sum_death = sum_death;
    out.sum_sucker_parous = sum_parous;
    out.pruned = removed.result_or_zero();
    out.total = total;
    return out;
}

ChainWeek FarmChain::advance(const FarmParams& p, const FarmCurves& curves, double increment,
                             std::int64_t week, double flowered_plants) {
    if (side_ == ChainSide::pre_flowering)
        return p.cohort_basis
                   ? advance_as<true, true, true>(p, curves, increment, week, flowered_plants)
                   : advance_as<true, true, false>(p, curves, increment, week, flowered_plants);
    return p.cohort_basis
               ? advance_as<false, false, false>(p, curves, increment, week, flowered_plants)
               : advance_as<false, true, false>(p, curves, increment, week, flowered_plants);
}

double FarmChain::prune(const FarmParams& p, std::int64_t current_week_index) {
    const double limit = p.age_limit(side_);
    PythonSum removed;
    std::size_t kept = 0;
    for (std::size_t i = 0; i < cohorts_.size(); ++i) {
        if (pruned(cohorts_[i], current_week_index, limit, p.population_epsilon))
            removed.add(cohorts_[i].population);
        else
            cohorts_[kept++] = cohorts_[i];
    }
    cohorts_.resize(kept);
    return removed.empty() ? 0.0 : removed.result();
}

double FarmChain::remove(const FarmParams& p, double amount, std::int64_t current_week_index) {
    if (std::isnan(amount))
        throw std::invalid_argument("amount must be a number of plants to remove, got nan");
    if (amount <= 0.0) return 0.0;
    double total_before = total();
    if (total_before <= 0.0) return 0.0;
    double removed = total_before < amount ? total_before : amount;
    std::vector<CohortState*> pointers(cohorts_.size());
    for (std::size_t i = 0; i < cohorts_.size(); ++i) pointers[i] = &cohorts_[i];
    remove_proportionally(pointers.data(), cohorts_.size(), removed, total_before);
    prune(p, current_week_index);
    return removed;
}

bool FarmChain::add(double population, std::int64_t birth_week_index) {
    if (std::isnan(population)) throw NanCohortError();
    if (!(population > 0.0)) return false;
    CohortState c;
    c.birth_week_index = birth_week_index;
    c.population = population;
    cohorts_.push_back(c);
    return true;
}

double FarmChain::total() const {
    PythonSum sum;
    for (const CohortState& c : cohorts_) sum.add(c.population);
    return sum.empty() ? 0.0 : sum.result();
}

// ---------------------------------------------------------------- farm ---

const char* const kFarmColumnNames[kFarmColumnCount] = {
    "week_index", "heat_units", "pre_flowering", "post_flowering", "flowering", "harvest",
    "deaths",     "suckers",    "replacements",  "pruned",         "pre_flowering_cohorts",
    "post_flowering_cohorts"};

void FarmColumns::reserve(std::size_t n) {
    week_index.reserve(n);
    for (auto* v : {&heat_units, &pre_flowering, &post_flowering, &flowering, &harvest, &deaths,
                    &suckers, &replacements, &pruned})
        v->reserve(n);
    pre_flowering_cohorts.reserve(n);
    post_flowering_cohorts.reserve(n);
}

namespace {
const FarmParams& checked(const FarmParams& p) {
    if (auto fault = farm_params_fault(p)) throw std::invalid_argument(*fault);
    return p;
}
}  // namespace

Farm::Farm(const FarmParams& params, std::shared_ptr<const FarmCurves> curves)
    : params_(checked(params)), curves_(std::move(curves)) {}

void Farm::prepare(std::size_t weeks) {
    post_total_ = -1.0;  // the chains may have been loaded since the last step
    const std::int64_t need = counts_needed(
        params_, std::max(largest_counter(pre.cohorts()), largest_counter(post.cohorts())), weeks);
    if (!curves_ || curves_->tabulated() < need) curves_ = shared_curves(params_, need);
    // Each week adds at most one cohort to each chain.
    for (FarmChain* chain : {&pre, &post}) chain->cohorts().reserve(chain->size() + weeks);
}

FarmRow Farm::step(std::int64_t week, double increment, double replacements) {
    if (!curves_) prepare(1);
    // The flowered plants on the farm at the start of the week bound the
    // suckers attributed to flowered plants (see attributed_parous_suckers).
    if (post_total_ < 0.0) post_total_ = post.total();
    ChainWeek a = pre.advance(params_, *curves_, increment, week, post_total_);
    ChainWeek b = post.advance(params_, *curves_, increment, week, post_total_);
    double pruned = a.pruned;
    pruned += b.pruned;

    const double flowering = a.sum_exit;
    const double suckers = a.sum_sucker + a.sum_sucker_parous + b.sum_sucker;
    // Plants beyond any float would turn into NaN cohorts, and those into
    // plants lost without a trace: the run stops, as the engine's loop does.
    for (auto [value, what] : {std::pair{flowering, "flowering plants"}, std::pair{suckers, "suckers"}})
        if (!std::isfinite(value)) throw NonFiniteWeekError(week, value, what);
    // The totals run on over the new cohorts, which go at the end of the lists.
    if (post.add(flowering, week)) b.total.add(flowering);
    const double entering = suckers + replacements;
    if (pre.add(entering, week)) a.total.add(entering);

    post_total_ = b.total.result_or_zero();
    return {week,
            increment,
            a.total.result_or_zero(),
            post_total_,
            flowering,
            b.sum_exit,
            a.sum_death + b.sum_death,
            suckers,
            replacements,
            pruned,
            static_cast<std::int64_t>(pre.size()),
            static_cast<std::int64_t>(post.size())};
}

void Farm::step(std::int64_t week, double increment, double replacements, FarmColumns& out) {
    const FarmRow r = step(week, increment, replacements);
    out.week_index.push_back(r.week_index);
    out.heat_units.push_back(r.heat_units);
    out.pre_flowering.push_back(r.pre_flowering);
    out.post_flowering.push_back(r.post_flowering);
    out.flowering.push_back(r.flowering);
    out.harvest.push_back(r.harvest);
    out.deaths.push_back(r.deaths);
    out.suckers.push_back(r.suckers);
    out.replacements.push_back(r.replacements);
    out.pruned.push_back(r.pruned);
    out.pre_flowering_cohorts.push_back(r.pre_flowering_cohorts);
    out.post_flowering_cohorts.push_back(r.post_flowering_cohorts);
}

FarmColumns Farm::run(std::int64_t first_week, const double* increments,
                      const double* replacements, std::size_t n) {
    prepare(n);
    FarmColumns out;
    out.reserve(n);
    for (std::size_t i = 0; i < n; ++i)
        step(first_week + static_cast<std::int64_t>(i), increments[i], replacements[i], out);
    return out;
}

void Farm::run_rows(std::int64_t first_week, const double* increments, const double* replacements,
                    std::size_t n, double* rows) {
    prepare(n);
    for (std::size_t i = 0; i < n; ++i, rows += kFarmColumnCount) {
        const FarmRow r =
            step(first_week + static_cast<std::int64_t>(i), increments[i], replacements[i]);
        rows[0] = static_cast<double>(r.week_index);
        rows[1] = r.heat_units;
        rows[2] = r.pre_flowering;
        rows[3] = r.post_flowering;
        rows[4] = r.flowering;
        rows[5] = r.harvest;
        rows[6] = r.deaths;
        rows[7] = r.suckers;
        rows[8] = r.replacements;
        rows[9] = r.pruned;
        rows[10] = static_cast<double>(r.pre_flowering_cohorts);
        rows[11] = static_cast<double>(r.post_flowering_cohorts);
    }
}

// ------------------------------------------------------------- seeding ---

WeeklyTable increment_table(std::int64_t first_week, const double* values, std::size_t n) {
    WeeklyTable t;
    t.first_week = first_week;
    t.last_week = first_week + static_cast<std::int64_t>(n) - 1;
    t.totals.assign(values, values + n);
    t.covered.assign(n, 1);
    return t;
}

std::vector<CohortState> seed_chain(ChainSide side, const FarmParams& p, const double* populations,
                                    const std::int64_t* ages, std::size_t n,
                                    std::int64_t current_week_index, const WeeklyTable& table,
                                    SeedFault& fault) {
    fault = SeedFault{};
    fault.side = side;
    std::vector<CohortState> out;
    if (n == 0) return out;
    auto fail = [&](SeedFault::Kind kind) {
        fault.kind = kind;
        return std::vector<CohortState>{};
    };
    std::int64_t target;
    if (sub_overflows(current_week_index, std::int64_t{1}, &target))
        return fail(SeedFault::overflow);
    const Thresholds thresholds = p.thresholds(side);
    std::unordered_set<std::int64_t> births;
    out.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        const double pop = populations[i];
        const std::int64_t a = ages[i];
        fault.age = a;
        std::int64_t b;
        if (sub_overflows(current_week_index, a, &b)) return fail(SeedFault::overflow);
        fault.birth = b;
        if (std::isnan(pop)) return fail(SeedFault::nan_population);
        if (!births.insert(b).second) return fail(SeedFault::duplicate_birth);
        const std::int64_t first = b + 1;
        fault.first = first;
        if (first <= target && first < table.first_week) return fail(SeedFault::before_coverage);
        ThermalState s;
        if (target > b) {
            std::optional<std::int64_t> missing = first_uncovered_week(table, first, target);
            if (missing) {
                fault.week = *missing;
                return fail(SeedFault::after_coverage);
            }
            s = replay_weeks(s, table, first, target, thresholds);
        }
        CohortState c;
        c.birth_week_index = b;
        c.population = pop < 0.0 ? 0.0 : pop;
        c.thermal_age = s.thermal_age;
        c.weeks_since_flowering_threshold = s.wf;
        c.weeks_since_sucker_threshold = s.ws;
        c.weeks_since_harvest_threshold = s.wh;
        out.push_back(c);
    }
    return out;
}

}  // namespace narvo::core
