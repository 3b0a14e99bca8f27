// Replaying a cohort's thermal history week by week from weekly heat units.
#pragma once

#include "core/chain_step.hpp"
#include "core/weekly_table.hpp"

#include <cstdint>
#include <optional>

namespace narvo::core {

// The first week from `first` to `last` (ascending) without a weekly total.
// The loops stop at `last` itself, so a span ending at the largest week index
// does not step past it.
inline std::optional<std::int64_t> first_uncovered_week(const WeeklyTable& table,
                                                        std::int64_t first, std::int64_t last) {
    if (first > last) return std::nullopt;
    for (std::int64_t w = first;; ++w) {
        if (!table.has(w)) return w;
        if (w == last) return std::nullopt;
    }
}

// The thermal state after the weeks `first` to `last`, every one of them covered.
inline ThermalState replay_weeks(ThermalState s, const WeeklyTable& table, std::int64_t first,
                                 std::int64_t last, const Thresholds& t) {
    if (first > last) return s;
    for (std::int64_t w = first;; ++w) {
        s = advance(s, table.at(w), t);
        if (w == last) return s;
    }
}

}  // namespace narvo::core
