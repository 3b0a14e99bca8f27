#include "core/weekly_table.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>

namespace narvo::core {

// Days from civil dates and back, for the proleptic Gregorian calendar, by
// counting 400-year eras of 146097 days from 0000-03-01.
std::int64_t ordinal_from_civil(std::int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const std::int64_t yoe = y - era * 400;
    const std::int64_t doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    const std::int64_t days_since_epoch = era * 146097 + doe - 719468;
    return days_since_epoch + kEpochOrdinal;
}

CivilDate civil_from_ordinal(std::int64_t ordinal) {
    const std::int64_t z = ordinal - kEpochOrdinal + 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const std::int64_t doe = z - era * 146097;
    const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const std::int64_t mp = (5 * doy + 2) / 153;
    const unsigned d = static_cast<unsigned>(doy - (153 * mp + 2) / 5 + 1);
    const unsigned m = static_cast<unsigned>(mp < 10 ? mp + 3 : mp - 9);
    return {yoe + era * 400 + (m <= 2), m, d};
}

std::int64_t ticks_per_day(const char* unit) {
    if (std::strcmp(unit, "ns") == 0) return 86'400'000'000'000;
    if (std::strcmp(unit, "us") == 0) return 86'400'000'000;
    if (std::strcmp(unit, "ms") == 0) return 86'400'000;
    if (std::strcmp(unit, "s") == 0) return 86'400;
    if (std::strcmp(unit, "m") == 0) return 1'440;
    if (std::strcmp(unit, "h") == 0) return 24;
    if (std::strcmp(unit, "D") == 0) return 1;
    return 0;
}

std::size_t WeeklyTable::size() const {
    return static_cast<std::size_t>(std::count(covered.begin(), covered.end(), std::uint8_t{1}));
}

namespace {

// With the divisor known at compile time the division becomes a multiply.
template <std::int64_t PerDay>
void ticks_to_ordinals(Strided<std::int64_t> ticks, std::int64_t* out) {
    for (std::size_t i = 0; i < ticks.n; ++i) {
        const std::int64_t t = ticks[i];
        out[i] = t == kNaT ? kNaT : floor_div(t, PerDay) + kEpochOrdinal;
    }
}

}  // namespace

std::vector<std::int64_t> ordinals_from_ticks(Strided<std::int64_t> ticks, std::int64_t per_day) {
    std::vector<std::int64_t> out(ticks.n);
    switch (per_day) {
        case 86'400'000'000'000: ticks_to_ordinals<86'400'000'000'000>(ticks, out.data()); break;
        case 86'400'000'000: ticks_to_ordinals<86'400'000'000>(ticks, out.data()); break;
        case 86'400'000: ticks_to_ordinals<86'400'000>(ticks, out.data()); break;
        case 86'400: ticks_to_ordinals<86'400>(ticks, out.data()); break;
        default:
            for (std::size_t i = 0; i < ticks.n; ++i) {
                const std::int64_t t = ticks[i];
                out[i] = t == kNaT ? kNaT : floor_div(t, per_day) + kEpochOrdinal;
            }
    }
    return out;
}

std::vector<std::size_t> missing_positions(const std::vector<std::int64_t>& ordinals) {
    std::vector<std::size_t> out;
    for (std::size_t i = 0; i < ordinals.size(); ++i)
        if (ordinals[i] == kNaT) out.push_back(i);
    return out;
}

std::optional<std::size_t> first_out_of_range(const std::vector<std::int64_t>& ordinals) {
    for (std::size_t i = 0; i < ordinals.size(); ++i)
        if (ordinals[i] != kNaT && (ordinals[i] < kMinOrdinal || ordinals[i] > kMaxOrdinal))
            return i;
    return std::nullopt;
}

WeeklyTable build_weekly_table(const std::vector<std::int64_t>& ordinals, Strided<double> values,
                               std::int64_t run_start_ordinal, std::int64_t week_length_days) {
    if (ordinals.empty() || ordinals.size() != values.n || week_length_days <= 0)
        throw std::invalid_argument("build_weekly_table: no days, or days and values differ");
    WeeklyTable t;
    t.week_length_days = week_length_days;
    t.run_start_ordinal = run_start_ordinal;

    std::vector<std::int64_t> weeks(ordinals.size());
    std::int64_t lo = std::numeric_limits<std::int64_t>::max();
    std::int64_t hi = std::numeric_limits<std::int64_t>::min();
    auto place = [&](auto week_of) {
        for (std::size_t i = 0; i < ordinals.size(); ++i) {
            const std::int64_t w = week_of(ordinals[i] - run_start_ordinal);
            weeks[i] = w;
            lo = std::min(lo, w);
            hi = std::max(hi, w);
        }
    };
    if (week_length_days == 7)
        place([](std::int64_t offset) { return floor_div(offset, 7); });
    else
        place([&](std::int64_t offset) { return floor_div(offset, week_length_days); });
    t.first_week = lo;
    t.last_week = hi;
    const std::size_t span = static_cast<std::size_t>(hi - lo) + 1;
    t.totals.assign(span, 0.0);
    t.covered.assign(span, 0);
    std::vector<double> compensation(span, 0.0);

    for (std::size_t i = 0; i < weeks.size(); ++i) {
        const std::size_t k = static_cast<std::size_t>(weeks[i] - lo);
        t.covered[k] = 1;
        const double v = values[i];
        if (std::isnan(v)) continue;
        double& sum = t.totals[k];
        double& c = compensation[k];
        const double y = v - c;
        const double s = sum + y;
        c = (s - sum) - y;
        // An infinite value makes the compensation NaN; dropping it keeps the
        // total infinite instead of turning it into NaN.
        if (std::isnan(c)) c = 0.0;
        sum = s;
    }
    return t;
}

WeeklyTable table_from_entries(const std::vector<std::int64_t>& weeks,
                               const std::vector<double>& totals,
                               std::int64_t run_start_ordinal, std::int64_t week_length_days) {
    if (weeks.empty() || weeks.size() != totals.size() || week_length_days <= 0)
        throw std::invalid_argument("table_from_entries: no weeks, or weeks and totals differ");
    if (!std::is_sorted(weeks.begin(), weeks.end()) ||
        std::adjacent_find(weeks.begin(), weeks.end()) != weeks.end())
        throw std::invalid_argument("table_from_entries: weeks must ascend");
    WeeklyTable t;
    t.week_length_days = week_length_days;
    t.run_start_ordinal = run_start_ordinal;
    t.first_week = weeks.front();
    t.last_week = weeks.back();
    const std::size_t span = static_cast<std::size_t>(t.last_week - t.first_week) + 1;
    t.totals.assign(span, 0.0);
    t.covered.assign(span, 0);
    for (std::size_t i = 0; i < weeks.size(); ++i) {
        const std::size_t k = static_cast<std::size_t>(weeks[i] - t.first_week);
        t.totals[k] = totals[i];
        t.covered[k] = 1;
    }
    return t;
}

std::optional<std::int64_t> first_uncovered(const WeeklyTable& t, std::int64_t start,
                                            std::int64_t end) {
    for (std::int64_t w = start; w <= end; ++w) {
        if (!t.has(w)) return w;
        if (w == end) break;  // no overflow past INT64_MAX
    }
    return std::nullopt;
}

}  // namespace narvo::core
