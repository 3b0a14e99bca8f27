// Cohort state: the numbers the weekly step reads and writes, and the week
// arithmetic on them. Week indices are 64-bit; differences of two of them are
// computed without wrapping, as the interpreter's integers would give them.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>

namespace narvo::core {

// a + b and a - b, or nothing when the result does not fit in 64 bits.
inline std::optional<std::int64_t> checked_add(std::int64_t a, std::int64_t b) {
    using L = std::numeric_limits<std::int64_t>;
    if (b > 0 ? a > L::max() - b : a < L::min() - b) return std::nullopt;
    return a + b;
}

inline std::optional<std::int64_t> checked_sub(std::int64_t a, std::int64_t b) {
    using L = std::numeric_limits<std::int64_t>;
    if (b < 0 ? a > L::max() + b : a < L::min() + b) return std::nullopt;
    return a - b;
}

// The exact value of a - b as sign and magnitude; |a - b| < 2**64 always.
struct WeekDifference {
    bool negative = false;
    std::uint64_t magnitude = 0;
};

inline WeekDifference week_difference(std::int64_t a, std::int64_t b) {
    // Unsigned arithmetic is modulo 2**64, and the true magnitude is below it.
    if (a >= b) return {false, static_cast<std::uint64_t>(a) - static_cast<std::uint64_t>(b)};
    return {true, static_cast<std::uint64_t>(b) - static_cast<std::uint64_t>(a)};
}

// Whether the integer a - b is greater than `limit`, compared exactly (as an
// int is compared with a float): NaN is never exceeded, -inf always.
inline bool difference_exceeds(std::int64_t a, std::int64_t b, double limit) {
    constexpr double exact_below = 9007199254740992.0;  // 2**53
    if (std::optional<std::int64_t> d = checked_sub(a, b)) {
        double v = static_cast<double>(*d);
        if (v < exact_below && v > -exact_below) return v > limit;
    }
    if (std::isnan(limit)) return false;
    constexpr double two_64 = 18446744073709551616.0;
    WeekDifference d = week_difference(a, b);
    // For an integer d, d > limit exactly when d > floor(limit).
    double f = std::floor(limit);
    if (f >= two_64) return false;
    if (f < -two_64) return true;
    if (f >= 0.0) return !d.negative && d.magnitude > static_cast<std::uint64_t>(f);
    if (!d.negative) return true;
    double m = -f;  // in (0, 2**64]
    if (m >= two_64) return true;
    return d.magnitude < static_cast<std::uint64_t>(m);
}

// The age rule of pruning, difference_exceeds(week, birth, limit), for one
// week as a bound on the birth week: a cohort born in week b is over `limit`
// at `week` exactly when week - b > limit, which for whole numbers is
// b <= week - floor(limit) - 1. That bound is computed exactly in unsigned
// 64-bit arithmetic (modulo 2**64, with the range checked first).
struct AgeBound {
    enum { never, always, below } kind = never;
    std::int64_t last_birth = 0;  // kind == below: pruned when b <= last_birth

    AgeBound(std::int64_t week, double limit) {
        using L = std::numeric_limits<std::int64_t>;
        constexpr double two_64 = 18446744073709551616.0;
        if (std::isnan(limit)) return;  // NaN is never exceeded
        const double f = std::floor(limit);
        // |week - b| < 2**64, so beyond that the answer does not depend on b.
        if (f >= two_64) return;
        if (f <= -two_64) {
            kind = always;
            return;
        }
        const std::uint64_t w = static_cast<std::uint64_t>(week);
        if (f >= 0.0) {
            // week - m - 1 with m = f in [0, 2**64): below week, so only the
            // lower end of the range can be passed. week - min is in [0, 2**64).
            const std::uint64_t m = static_cast<std::uint64_t>(f);
            const std::uint64_t above_min = w - static_cast<std::uint64_t>(L::min());
            if (above_min < m + 1) return;  // below the smallest birth week
            kind = below;
            last_birth = static_cast<std::int64_t>(w - m - 1);
            return;
        }
        // week + m - 1 with m = -f in [1, 2**64): at least week, so only the
        // upper end can be passed; b <= max holds for every b.
        const std::uint64_t m = static_cast<std::uint64_t>(-f);
        const std::uint64_t to_max = static_cast<std::uint64_t>(L::max()) - w;
        if (m - 1 >= to_max) {
            kind = always;
            return;
        }
        kind = below;
        last_birth = static_cast<std::int64_t>(w + (m - 1));
    }
    bool over(std::int64_t birth) const {
        return kind == always || (kind == below && birth <= last_birth);
    }
};

struct CohortState {
    std::int64_t birth_week_index = 0;
    double population = 0.0;
    double thermal_age = 0.0;
    std::int64_t weeks_since_flowering_threshold = 0;
    std::int64_t weeks_since_sucker_threshold = 0;
    std::int64_t weeks_since_harvest_threshold = 0;

    // Weeks from birth to `current_week_index` (negative before birth).
    WeekDifference age_weeks(std::int64_t current_week_index) const {
        return week_difference(current_week_index, birth_week_index);
    }
};

}  // namespace narvo::core
