// Integer arithmetic that reports overflow instead of wrapping. Each function
// stores the exact result in *out and returns false when it fits in T, and
// returns true (leaving *out as it was) when it does not, so that a caller can
// fall back to arbitrary-precision arithmetic or refuse the input.
#pragma once

#include <concepts>
#include <limits>

namespace narvo::core {

template <std::integral T>
bool add_overflows(T a, T b, T* out) {
    using L = std::numeric_limits<T>;
    if constexpr (L::is_signed) {
        if (b > 0 ? a > L::max() - b : a < L::min() - b) return true;
    } else {
        if (a > L::max() - b) return true;
    }
    *out = static_cast<T>(a + b);
    return false;
}

template <std::integral T>
bool sub_overflows(T a, T b, T* out) {
    using L = std::numeric_limits<T>;
    if constexpr (L::is_signed) {
        if (b < 0 ? a > L::max() + b : a < L::min() + b) return true;
    } else {
        if (a < b) return true;
    }
    *out = static_cast<T>(a - b);
    return false;
}

template <std::integral T>
bool mul_overflows(T a, T b, T* out) {
    using L = std::numeric_limits<T>;
    if constexpr (L::is_signed) {
        // Each bound is divided by a nonzero factor, so no division overflows:
        // min / -1 is never formed because the divisor's sign is known.
        if (a > 0) {
            if (b > 0 ? a > L::max() / b : b < L::min() / a) return true;
        } else if (a < 0) {
            if (b > 0 ? a < L::min() / b : b < L::max() / a) return true;
        }
    } else {
        if (b != 0 && a > L::max() / b) return true;
    }
    *out = static_cast<T>(a * b);
    return false;
}

}  // namespace narvo::core
