// The model calendar and its weekly heat-unit totals.
#pragma once

#include <cstdint>
#include <vector>

namespace narvo::core {

// Floor division for a positive divisor: -1 / 7 is -1, not 0.
inline std::int64_t floor_div(std::int64_t a, std::int64_t b) {
    std::int64_t q = a / b;
    if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
    return q;
}

struct WeeklyTable {
    std::int64_t week_length_days = 7;
    std::int64_t run_start_ordinal = 0;  // proleptic Gregorian ordinal of week 0's first day
    std::int64_t first_week = 0;
    std::int64_t last_week = 0;
    // Dense from first_week to last_week; `covered` is 0 for weeks in a gap.
    std::vector<double> totals;
    std::vector<std::uint8_t> covered;

    bool has(std::int64_t week) const {
        return week >= first_week && week <= last_week && covered[week - first_week];
    }
    // Only valid when has(week).
    double at(std::int64_t week) const { return totals[week - first_week]; }

    std::int64_t week_for_ordinal(std::int64_t ordinal) const {
        return floor_div(ordinal - run_start_ordinal, week_length_days);
    }
};

}  // namespace narvo::core
