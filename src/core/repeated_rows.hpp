// Rows that repeat another row over a set of columns, every member of a
// repeated group counted (the first one too), from per-column group codes.
#pragma once

#include "core/checked.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace narvo::core {

// `columns[c][r]` is the group code of row r in column c: rows with equal
// cells share a code, -1 is the code of the missing cells (which are equal to
// each other). Returns the positions, ascending, of the rows whose codes over
// all columns occur on more than one row.
inline std::vector<std::size_t> rows_in_repeated_groups(
    const std::vector<std::vector<std::int64_t>>& columns) {
    const std::size_t n = columns.empty() ? 0 : columns.front().size();
    std::vector<std::uint64_t> ids(n, 0);
    std::uint64_t radix = 1;  // number of distinct ids so far (an upper bound)
    for (const auto& codes : columns) {
        std::uint64_t k = 1;
        for (std::int64_t c : codes) k = std::max<std::uint64_t>(k, static_cast<std::uint64_t>(c + 2));
        std::uint64_t next;
        if (mul_overflows(radix, k, &next)) {
            // Renumber the ids so far densely (at most n of them) and go on.
            std::vector<std::uint64_t> sorted(ids);
            std::sort(sorted.begin(), sorted.end());
            sorted.erase(std::unique(sorted.begin(), sorted.end()), sorted.end());
            for (auto& id : ids)
                id = static_cast<std::uint64_t>(
                    std::lower_bound(sorted.begin(), sorted.end(), id) - sorted.begin());
            radix = sorted.size();
            next = radix * k;
        }
        for (std::size_t r = 0; r < n; ++r)
            ids[r] = ids[r] * k + static_cast<std::uint64_t>(codes[r] + 1);
        radix = next;
    }

    std::vector<std::size_t> out;
    if (radix <= 4 * static_cast<std::uint64_t>(n) + 64) {
        std::vector<std::uint32_t> count(radix, 0);
        for (std::uint64_t id : ids) ++count[id];
        for (std::size_t r = 0; r < n; ++r)
            if (count[ids[r]] > 1) out.push_back(r);
        return out;
    }
    std::vector<std::pair<std::uint64_t, std::size_t>> order(n);
    for (std::size_t r = 0; r < n; ++r) order[r] = {ids[r], r};
    std::sort(order.begin(), order.end());
    for (std::size_t i = 0; i < n;) {
        std::size_t j = i + 1;
        while (j < n && order[j].first == order[i].first) ++j;
        if (j - i > 1)
            for (std::size_t g = i; g < j; ++g) out.push_back(order[g].second);
        i = j;
    }
    std::sort(out.begin(), out.end());
    return out;
}

}  // namespace narvo::core
