#include "core/chain_step.hpp"

#include <algorithm>

namespace narvo::core {

double WeekTable::extend(std::int64_t n) {
    if (n < 0 || n >= kMaxTabulated) return curve_(n);
    if (static_cast<std::size_t>(n) < values_.size()) return values_[n];  // another cursor's
    // Tabulated ahead, doubling: a counter that reaches the end of the table
    // now will pass it again next week.
    const std::int64_t size = static_cast<std::int64_t>(values_.size());
    const std::int64_t end = std::min(kMaxTabulated, std::max({n + 1, 2 * size, std::int64_t{64}}));
    for (std::int64_t k = size; k < end; ++k) values_.push_back(curve_(k));
    return values_[n];
}

}  // namespace narvo::core
