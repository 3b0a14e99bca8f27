#include "core/dispersion.hpp"

#include <algorithm>
#include <cmath>

namespace narvo::core {

namespace {
constexpr double kSqrt2 = 1.4142135623730951;
// Beyond this many weeks a point mass is as good as never.
constexpr double kLatestWeek = 1e15;
}  // namespace

DispersionCurve::Fault DispersionCurve::check(double amplitude, double peak_weeks, double spread) {
    if (!std::isfinite(amplitude) || amplitude < 0.0) return Fault::amplitude;
    if (!std::isfinite(peak_weeks)) return Fault::peak_weeks;
    if (!std::isfinite(spread) || spread < 0.0) return Fault::spread;
    return Fault::none;
}

DispersionCurve::DispersionCurve(double amplitude, double peak_weeks, double spread)
    : amplitude_(amplitude), peak_(peak_weeks), spread_(spread),
      fraction_(std::min(amplitude, 1.0)) {
    if (spread > 0.0) {
        scale_ = spread * kSqrt2;
        norm_ = std::erfc((0.5 - peak_weeks) / scale_);
    }
    // No spread, or a peak so far before the threshold that the whole normal
    // tail past week 0.5 underflows: every plant falls into one week.
    if (!(norm_ > 0.0)) {
        double week = std::nearbyint(std::clamp(peak_weeks, 1.0, kLatestWeek));
        if (spread > 0.0) week = 1.0;
        point_week_ = static_cast<std::int64_t>(week);
        return;
    }
    mode_week_ = static_cast<std::int64_t>(std::nearbyint(std::clamp(peak_weeks, 1.0, kLatestWeek)));
    mode_tail_ = normal_tail(mode_week_);
    double before = mode_week_ > 1 ? normal_tail(mode_week_ - 1) : 1.0;
    tail_ratio_ = before > 0.0 ? std::clamp(mode_tail_ / before, 0.0, 1.0) : 0.0;
}

double DispersionCurve::normal_tail(std::int64_t n) const {
    double x = (static_cast<double>(n) + 0.5 - peak_) / scale_;
    return std::min(1.0, std::erfc(x) / norm_);
}

double DispersionCurve::tail(std::int64_t n) const {
    if (n <= 0) return 1.0;
    if (point_week_ > 0) return n < point_week_ ? 1.0 : 0.0;
    if (n <= mode_week_) return normal_tail(n);
    return mode_tail_ * std::pow(tail_ratio_, static_cast<double>(n - mode_week_));
}

double DispersionCurve::drop(std::int64_t n) const {
    if (point_week_ > 0 || n <= mode_week_) return tail(n - 1) - tail(n);
    return tail(n - 1) * (1.0 - tail_ratio_);
}

double DispersionCurve::fraction_done(std::int64_t n) const {
    if (n <= 0) return 0.0;
    return fraction_ * (1.0 - tail(n));
}

double DispersionCurve::hazard(std::int64_t n) const {
    if (n <= 0) return 0.0;
    double before = tail(n - 1);
    // Plants of the entering cohort not yet flowered at the start of week n.
    double waiting = (1.0 - fraction_) + fraction_ * before;
    if (point_week_ == 0 && n > mode_week_) {
        // In the geometric tail the waiting plants that will flower go at the
        // constant rate 1 - ratio, diluted by those that never flower. Written
        // so that the tail's size cancels even where it is subnormal or zero.
        if (fraction_ >= 1.0) return std::clamp(1.0 - tail_ratio_, 0.0, 1.0);
        if (!(waiting > 0.0)) return 0.0;
        return std::clamp((1.0 - tail_ratio_) * (fraction_ * before) / waiting, 0.0, 1.0);
    }
    if (!(waiting > 0.0)) return 1.0;
    double h = fraction_ * drop(n) / waiting;
    return std::clamp(h, 0.0, 1.0);
}

bool valid_hazard_weeks(double hazard_weeks) {
    return std::isfinite(hazard_weeks) && hazard_weeks > 0.0;
}

double harvest_hazard_cohort_basis(std::int64_t weeks, double hazard_weeks) {
    if (weeks <= 0) return 0.0;
    // Weeks of the harvest still ahead at the start of this one.
    double remaining = hazard_weeks - static_cast<double>(weeks - 1);
    if (remaining <= 1.0) return 1.0;
    return 1.0 / remaining;
}

double harvest_hazard(std::int64_t weeks, double hazard_weeks) {
    if (weeks <= 0) return 0.0;
    if (static_cast<double>(weeks) >= hazard_weeks) return 1.0;
    return std::min(1.0, 1.0 / hazard_weeks);
}

}  // namespace narvo::core
