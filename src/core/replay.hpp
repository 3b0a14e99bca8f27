// Replaying a cohort's thermal history week by week from weekly heat units.
#pragma once

#include "core/chain_step.hpp"
#include "core/weekly_table.hpp"

#include <cstdint>
#include <optional>

namespace narvo::core {

// The first week from `first` to `last` (ascending) without a weekly total.
inline std::optional<std::int64_t> first_uncovered_week(const WeeklyTable& table,
                                                        std::int64_t first, std::int64_t last) {
    for (std::int64_t w = first; w <= last; ++w)
        if (!table.has(w)) return w;
    return std::nullopt;
}

// The thermal state after the weeks `first` to `last`, every one of them covered.
inline ThermalState replay_weeks(ThermalState s, const WeeklyTable& table, std::int64_t first,
                                 std::int64_t last, const Thresholds& t) {
    for (std::int64_t w = first; w <= last; ++w) s = advance(s, table.at(w), t);
    return s;
}

}  // namespace narvo::core
