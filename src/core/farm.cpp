#include "core/farm.hpp"

#include "core/dispersion.hpp"
#include "core/pysum.hpp"
#include "core/replay.hpp"

#include <cmath>
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

FarmCurves::FarmCurves(const FarmParams& p)
    : sucker_rate([c = DispersionCurve(p.sucker.amplitude, p.sucker.peak_weeks, p.sucker.spread)](
                      std::int64_t n) { return c.rate(n); }),
      flowering([c = DispersionCurve(p.flowering.amplitude, p.flowering.peak_weeks,
                                     p.flowering.spread),
                 cohort = p.cohort_basis](std::int64_t n) {
          return cohort ? c.hazard(n) : c.rate(n);
      }),
      flowered_before([c = DispersionCurve(p.flowering.amplitude, p.flowering.peak_weeks,
                                           p.flowering.spread)](std::int64_t n) {
          return c.fraction_done(n - 1);
      }),
      harvest([h = p.hazard_weeks, cohort = p.cohort_basis](std::int64_t n) {
          return cohort ? harvest_hazard_cohort_basis(n, h) : harvest_hazard(n, h);
      }) {}

NanCohortError::NanCohortError()
    : std::domain_error(
          "population must be a number, got nan; a cohort of NaN plants would make every later "
          "total NaN") {}

// --------------------------------------------------------------- chain ---

void FarmChain::refresh_pointers() {
    pointers_.resize(cohorts_.size());
    for (std::size_t i = 0; i < cohorts_.size(); ++i) pointers_[i] = &cohorts_[i];
}

const StepRates& FarmChain::calc(const FarmParams& p, FarmCurves& curves, double increment) {
    refresh_pointers();
    const std::size_t n = cohorts_.size();
    StepRates& r = rates_;
    for (auto* v : {&r.thermal_age, &r.exit, &r.death, &r.sucker}) v->resize(n);
    for (auto* v : {&r.wf, &r.ws, &r.wh}) v->resize(n);
    r.sum_exit = r.sum_sucker = r.sum_death = r.sum_sucker_parous = 0.0;
    if (n == 0) return r;

    const bool pre = side_ == ChainSide::pre_flowering;
    StepPlan plan;
    plan.increment = increment;
    plan.thresholds = p.thresholds(side_);
    plan.pre_flowering = pre;
    plan.makes_suckers = pre || !p.cohort_basis;
    plan.attributes_parous = pre && p.cohort_basis;
    plan.death_rate = p.death_rate(side_);
    WeekTable& hazard = pre ? curves.flowering : curves.harvest;
    compute_rates(plan, pointers_.data(), n, curves.sucker_rate, hazard, curves.flowered_before, r);
    return r;
}

void FarmChain::apply() {
    if (pointers_.size() != cohorts_.size() || rates_.size() != cohorts_.size())
        throw std::logic_error("a chain's rates were applied to a different cohort list");
    const StepRates& r = rates_;
    RatesArrays arrays{r.thermal_age.data(), r.wf.data(), r.ws.data(), r.wh.data(),
                       r.exit.data(),        r.death.data()};
    apply_rates(pointers_.data(), cohorts_.size(), arrays);
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
    refresh_pointers();
    remove_proportionally(pointers_.data(), cohorts_.size(), removed, total_before);
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

Farm::Farm(const FarmParams& params) : params_(checked(params)), curves_(params_) {}

void Farm::step(std::int64_t week, double increment, double replacements, FarmColumns& out) {
    const StepRates& a = pre.calc(params_, curves_, increment);
    const StepRates& b = post.calc(params_, curves_, increment);
    pre.apply();
    double pruned = pre.prune(params_, week);
    post.apply();
    pruned += post.prune(params_, week);

    const double flowering = a.sum_exit;
    const double suckers = a.sum_sucker + a.sum_sucker_parous + b.sum_sucker;
    post.add(flowering, week);
    pre.add(suckers + replacements, week);

    out.week_index.push_back(week);
    out.heat_units.push_back(increment);
    out.pre_flowering.push_back(pre.total());
    out.post_flowering.push_back(post.total());
    out.flowering.push_back(flowering);
    out.harvest.push_back(b.sum_exit);
    out.deaths.push_back(a.sum_death + b.sum_death);
    out.suckers.push_back(suckers);
    out.replacements.push_back(replacements);
    out.pruned.push_back(pruned);
    out.pre_flowering_cohorts.push_back(static_cast<std::int64_t>(pre.size()));
    out.post_flowering_cohorts.push_back(static_cast<std::int64_t>(post.size()));
}

FarmColumns Farm::run(std::int64_t first_week, const double* increments,
                      const double* replacements, std::size_t n) {
    FarmColumns out;
    out.reserve(n);
    for (std::size_t i = 0; i < n; ++i)
        step(first_week + static_cast<std::int64_t>(i), increments[i], replacements[i], out);
    return out;
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
    if (__builtin_sub_overflow(current_week_index, std::int64_t{1}, &target))
        return fail(SeedFault::overflow);
    const Thresholds thresholds = p.thresholds(side);
    std::unordered_set<std::int64_t> births;
    out.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        const double pop = populations[i];
        const std::int64_t a = ages[i];
        fault.age = a;
        std::int64_t b;
        if (__builtin_sub_overflow(current_week_index, a, &b)) return fail(SeedFault::overflow);
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
