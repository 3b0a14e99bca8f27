#include "core/chain_step.hpp"

namespace narvo::core {

double WeekTable::extend(std::int64_t n) {
    if (n < 0 || n >= kMaxTabulated) return curve_(n);
    values_.reserve(static_cast<std::size_t>(n) + 1);
    for (std::int64_t k = static_cast<std::int64_t>(values_.size()); k <= n; ++k)
        values_.push_back(curve_(k));
    return values_[n];
}

}  // namespace narvo::core
