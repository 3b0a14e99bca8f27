// The model calendar and its weekly heat-unit totals.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <vector>

namespace narvo::core {

// Floor division for a positive divisor: -1 / 7 is -1, not 0.
inline std::int64_t floor_div(std::int64_t a, std::int64_t b) {
    std::int64_t q = a / b;
    if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
    return q;
}

// ------------------------------------------------------------- calendar ---
// Days are counted as proleptic Gregorian ordinals: 0001-01-01 is day 1, as
// the interpreter's date.toordinal() counts them.

inline constexpr std::int64_t kMinOrdinal = 1;          // 0001-01-01
inline constexpr std::int64_t kMaxOrdinal = 3652059;    // 9999-12-31
inline constexpr std::int64_t kEpochOrdinal = 719163;   // 1970-01-01
// The missing date-time of a datetime64 array read as integers.
inline constexpr std::int64_t kNaT = std::numeric_limits<std::int64_t>::min();

struct CivilDate {
    std::int64_t year;
    unsigned month;  // 1..12
    unsigned day;    // 1..31
};

std::int64_t ordinal_from_civil(std::int64_t year, unsigned month, unsigned day);
CivilDate civil_from_ordinal(std::int64_t ordinal);

// Ticks of a datetime64 unit (the text between the brackets of "M8[...]") per
// day, or 0 for a unit this code does not read directly.
std::int64_t ticks_per_day(const char* unit);

// ----------------------------------------------------------- the table ---

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

    // Number of covered weeks.
    std::size_t size() const;
};

// A read-only view of n values spaced `stride` elements apart.
template <class T>
struct Strided {
    const T* data = nullptr;
    std::ptrdiff_t stride = 1;
    std::size_t n = 0;
    T operator[](std::size_t i) const { return data[static_cast<std::ptrdiff_t>(i) * stride]; }
};

// Day ordinals of datetime64 ticks (any time of day dropped, towards the
// earlier day); missing date-times stay kNaT. `per_day` must be positive.
std::vector<std::int64_t> ordinals_from_ticks(Strided<std::int64_t> ticks, std::int64_t per_day);

// Positions of the missing days (kNaT) and of the first day outside the
// calendar's range, if any.
std::vector<std::size_t> missing_positions(const std::vector<std::int64_t>& ordinals);
std::optional<std::size_t> first_out_of_range(const std::vector<std::int64_t>& ordinals);

// Sum each day's heat units into its model week. Every ordinal must be a
// calendar day and there must be at least one. Missing (NaN) values add
// nothing but their week still counts as covered. Each week is summed in row
// order with Kahan compensation, as the table library's grouped sum does, so
// that the totals agree bit for bit with a grouped sum over the same rows.
WeeklyTable build_weekly_table(const std::vector<std::int64_t>& ordinals, Strided<double> values,
                               std::int64_t run_start_ordinal, std::int64_t week_length_days);

// A table from its covered weeks (ascending, at least one) and their totals.
WeeklyTable table_from_entries(const std::vector<std::int64_t>& weeks,
                               const std::vector<double>& totals,
                               std::int64_t run_start_ordinal, std::int64_t week_length_days);

// The first week of [start, end] that the table does not cover, if any.
std::optional<std::int64_t> first_uncovered(const WeeklyTable& t, std::int64_t start,
                                            std::int64_t end);

}  // namespace narvo::core
