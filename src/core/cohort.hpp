// Cohort state: the numbers the weekly step reads and writes.
#pragma once

#include <cstdint>

namespace narvo::core {

struct CohortState {
    std::int64_t birth_week_index = 0;
    double population = 0.0;
    double thermal_age = 0.0;
    std::int64_t weeks_since_flowering_threshold = 0;
    std::int64_t weeks_since_sucker_threshold = 0;
    std::int64_t weeks_since_harvest_threshold = 0;

    std::int64_t age_weeks(std::int64_t current_week_index) const {
        return current_week_index - birth_week_index;
    }
};

}  // namespace narvo::core
