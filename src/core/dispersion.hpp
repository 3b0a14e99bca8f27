// Age-dispersion curves: how the plants of a cohort spread their flowering,
// sucker emergence and harvest over the weeks after a thermal threshold.
//
// Week counts are the chain's threshold counters: 0 while the cohort is below
// the threshold, 1 in the first week at or above it, and so on. Every curve is
// 0 at counts of 0 or less, so cohorts below a threshold stay in place.
#pragma once

#include <cstdint>

namespace narvo::core {

// A discretised normal distribution over whole weeks since the threshold,
// with a constant-hazard tail after its mode.
//
// Up to the mode week m (the week nearest `peak_weeks`, week 1 at the
// earliest), week n (n >= 1) collects the normal mass between n - 0.5 and
// n + 0.5 weeks, renormalised over n >= 1 so that nothing is lost to weeks
// before the threshold: `peak_weeks` is the mode and `spread` the standard
// deviation of that normal, in weeks. After the mode the weekly hazard (the
// share of the plants still waiting that go this week) stays at its value in
// week m: the remaining plants leave geometrically. A normal tail would make
// the hazard climb towards 1, so that plants observed late (seeded from an
// inventory well past the peak) would nearly all go in one week; with the
// constant tail a late plant goes at the peak's rate however late it is.
// A spread of 0 puts every plant into the week nearest `peak_weeks`
// (week 1 at the earliest).
//
// `amplitude` scales the curve: the suckers a plant emits over the cohort's
// life, or the eventual fraction of the cohort that flowers. As a fraction it
// is capped at 1 (hazard and fraction_done); as a sucker count it is not.
class DispersionCurve {
public:
    enum class Fault { none, amplitude, peak_weeks, spread };

    // Which parameter (first in argument order) cannot describe a curve:
    // amplitude and spread must be finite and >= 0, peak_weeks finite.
    static Fault check(double amplitude, double peak_weeks, double spread);

    // Requires check(...) == Fault::none.
    DispersionCurve(double amplitude, double peak_weeks, double spread);

    double amplitude() const { return amplitude_; }
    double peak_weeks() const { return peak_; }
    double spread() const { return spread_; }

    // Fraction of the eventual total that falls in week n (0 for n <= 0; sums to 1).
    double weekly(std::int64_t n) const { return n <= 0 ? 0.0 : drop(n); }
    // Per-plant amount of week n: amplitude x weekly(n). The direct-rate basis
    // applies it to the plants present; a profile's share() is the same value.
    double rate(std::int64_t n) const { return amplitude_ * weekly(n); }
    // Fraction of the cohort, counted as it entered the chain, that has
    // flowered after n weeks past the threshold; 0 for n <= 0, never decreasing.
    double fraction_done(std::int64_t n) const;
    // Fraction of the plants still in the chain that flower in week n: the
    // weekly share of the entering cohort over the part of it not yet flowered.
    double hazard(std::int64_t n) const;

private:
    // Share of the eventual total still to come after week n (1 for n <= 0).
    double tail(std::int64_t n) const;
    // tail(n - 1) - tail(n) for n >= 1; in the geometric tail as a product, so
    // that it keeps its precision where both tails are tiny.
    double drop(std::int64_t n) const;
    // The discretised normal's share still to come after week n (n >= 1).
    double normal_tail(std::int64_t n) const;

    double amplitude_, peak_, spread_;
    double fraction_;          // min(amplitude, 1): eventual fraction flowering
    double scale_ = 0.0;       // spread x sqrt(2)
    double norm_ = 0.0;        // normal upper tail from week 0.5 (as erfc)
    std::int64_t point_week_ = 0;  // > 0: all mass in this week
    std::int64_t mode_week_ = 0;   // the normal part ends with this week
    double mode_tail_ = 1.0;       // tail(mode_week_)
    double tail_ratio_ = 0.0;      // tail(n) / tail(n - 1) after the mode
};

// Harvest of a flowered cohort, all of it by `hazard_weeks` weeks after the
// harvest threshold. `hazard_weeks` must be finite and > 0.
bool valid_hazard_weeks(double hazard_weeks);

// Cohort basis: the cohort as it entered is harvested evenly over the first
// `hazard_weeks` weeks; the result is the fraction of the plants still there.
double harvest_hazard_cohort_basis(std::int64_t weeks, double hazard_weeks);

// Direct-rate basis: a constant weekly hazard of 1 / hazard_weeks on the plants
// still there, and whatever is left is harvested in the week the counter
// reaches hazard_weeks.
double harvest_hazard(std::int64_t weeks, double hazard_weeks);

}  // namespace narvo::core
