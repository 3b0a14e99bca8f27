// Dated field records placed into model weeks: the span of weeks a file
// covers, and maps keyed by week (or by tag and week) in which a later record
// for the same key replaces the earlier one.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <utility>
#include <vector>

namespace narvo::core {

// The closed span of weeks from the earliest to the latest week of any record.
struct WeekSpan {
    bool any = false;
    std::int64_t first = 0;
    std::int64_t last = 0;

    void add(std::int64_t week) {
        if (!any) {
            any = true;
            first = last = week;
            return;
        }
        if (week < first) first = week;
        if (week > last) last = week;
    }
    bool covers(std::int64_t week) const { return any && first <= week && week <= last; }
};

// A ribbon tag (by its position in the sorted tag list) and a model week.
struct TagWeek {
    std::uint32_t tag;
    std::int64_t week;
    bool operator==(const TagWeek&) const = default;
};

struct TagWeekHash {
    std::size_t operator()(const TagWeek& k) const noexcept {
        // splitmix64 finaliser over the two parts: tags and weeks are small,
        // dense numbers and would collide under a plain xor.
        std::uint64_t x = static_cast<std::uint64_t>(k.week) * 0x9E3779B97F4A7C15ull + k.tag;
        x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
        x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
        return static_cast<std::size_t>(x ^ (x >> 31));
    }
};

// A map that keeps its keys in the order they were first stored; storing a
// key again replaces its value in place (the later record wins). Keys live
// in an open-addressing table beside the position of their entry, so a
// lookup touches one slot and one entry.
template <class Key, class Value, class Hash = std::hash<Key>>
class LastWinsMap {
public:
    void reserve(std::size_t n) {
        entries_.reserve(n);
        if (2 * n > slots_.size()) rehash(capacity_for(n));
    }

    void put(const Key& key, const Value& value) {
        if (2 * (entries_.size() + 1) > slots_.size()) rehash(capacity_for(entries_.size() + 1));
        Slot& slot = probe(key);
        if (slot.entry != 0) {
            entries_[slot.entry - 1].second = value;
            return;
        }
        entries_.emplace_back(key, value);
        slot.key = key;
        slot.entry = entries_.size();
    }

    static constexpr std::size_t npos = static_cast<std::size_t>(-1);

    // The position of `key` among entries(), or npos.
    std::size_t position(const Key& key) const {
        if (slots_.empty()) return npos;
        const Slot& slot = const_cast<LastWinsMap*>(this)->probe(key);
        return slot.entry == 0 ? npos : slot.entry - 1;
    }

    const Value* find(const Key& key) const {
        std::size_t p = position(key);
        return p == npos ? nullptr : &entries_[p].second;
    }

    std::size_t size() const { return entries_.size(); }
    const std::vector<std::pair<Key, Value>>& entries() const { return entries_; }

private:
    struct Slot {
        Key key{};
        std::size_t entry = 0;  // 1 + position in entries_, 0 when free
    };

    static std::size_t capacity_for(std::size_t n) {
        std::size_t c = 16;
        while (c < 2 * n) c *= 2;
        return c;
    }

    // The slot holding `key`, or the free slot where it would go.
    Slot& probe(const Key& key) {
        const std::size_t mask = slots_.size() - 1;
        for (std::size_t i = Hash{}(key) & mask;; i = (i + 1) & mask) {
            Slot& slot = slots_[i];
            if (slot.entry == 0 || slot.key == key) return slot;
        }
    }

    void rehash(std::size_t capacity) {
        slots_.assign(capacity, Slot{});
        for (std::size_t e = 0; e < entries_.size(); ++e) probe(entries_[e].first) = {entries_[e].first, e + 1};
    }

    std::vector<std::pair<Key, Value>> entries_;
    std::vector<Slot> slots_;
};

// One model week of a (tag, week) map, its tags' quantities added up. A
// quantity a tag did not record (NaN) is left out of the sum and the count.
template <std::size_t N>
struct WeekSums {
    std::int64_t week = 0;
    std::array<double, N> sum{};        // over the tags with a value
    std::array<std::uint32_t, N> count{};  // tags with a value
    std::uint32_t tags = 0;             // tags with a record that week

    // The sum of quantity i, NaN when no tag recorded it.
    double total(std::size_t i) const { return count[i] ? sum[i] : NAN; }
    // The mean of quantity i over the tags that recorded it, NaN when none did.
    double mean(std::size_t i) const { return count[i] ? sum[i] / count[i] : NAN; }
};

// The weeks of a (tag, week) map in ascending order, each with its records
// summed. Within a week the tags are added in ascending tag order, so the
// sums do not depend on the order the records were stored in.
template <std::size_t N, class Entries>
std::vector<WeekSums<N>> sums_by_week(const Entries& entries) {
    std::vector<std::size_t> order(entries.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        const TagWeek& ka = entries[a].first;
        const TagWeek& kb = entries[b].first;
        return ka.week != kb.week ? ka.week < kb.week : ka.tag < kb.tag;
    });
    std::vector<WeekSums<N>> weeks;
    for (std::size_t i : order) {
        const auto& [key, values] = entries[i];
        if (weeks.empty() || weeks.back().week != key.week) {
            weeks.emplace_back();
            weeks.back().week = key.week;
        }
        WeekSums<N>& w = weeks.back();
        ++w.tags;
        for (std::size_t q = 0; q < N; ++q) {
            if (std::isnan(values[q])) continue;
            w.sum[q] += values[q];
            ++w.count[q];
        }
    }
    return weeks;
}

}  // namespace narvo::core
