// The model calendar: week w begins w * week_length_days days after the run
// start date. Dates are counted as day ordinals in the core; a date argument
// that is not a plain calendar date, or a week that is not a plain int, goes
// through the interpreter's own date arithmetic, so that odd inputs behave,
// and fail, exactly as plain Python code would.
//
// This is the only source of the module that includes the datetime C API: its
// capsule pointer is a static of each translation unit that includes it.
#include "core/checked.hpp"
#include "modules/weather/weather.hpp"

#include <datetime.h>

namespace narvo::weather {

using namespace nb::literals;
using narvo::core::add_overflows;
using narvo::core::mul_overflows;

void init_calendar() {
    PyDateTime_IMPORT;
    if (!PyDateTimeAPI) throw nb::python_error();
}

bool is_plain_date(nb::handle d) { return PyDate_Check(d.ptr()) && !PyDateTime_Check(d.ptr()); }

std::int64_t ordinal_of(nb::handle date) {
    PyObject* o = date.ptr();
    return narvo::core::ordinal_from_civil(PyDateTime_GET_YEAR(o), PyDateTime_GET_MONTH(o),
                                           PyDateTime_GET_DAY(o));
}

nb::object date_from_ordinal(std::int64_t ordinal) {
    auto c = narvo::core::civil_from_ordinal(ordinal);
    PyObject* r = PyDate_FromDate(static_cast<int>(c.year), static_cast<int>(c.month),
                                  static_cast<int>(c.day));
    if (!r) throw nb::python_error();
    return nb::steal(r);
}

// The daily rows are calendar dates, so a start they cannot be subtracted from
// (a date-time, a text, ...) fails with the interpreter's own error for that
// subtraction; one they can is still refused, as not a calendar date.
std::int64_t run_start_ordinal(nb::handle start, nb::handle some_row_date) {
    if (is_plain_date(start)) return ordinal_of(start);
    static_cast<void>(some_row_date - start);
    narvo::bind::raise_type_error("run_start_date must be a calendar date (datetime.date), got " +
                                  narvo::bind::py_repr(start));
}

std::int64_t positive_week_length(nb::handle value) {
    PyObject* idx = PyNumber_Index(value.ptr());
    if (!idx) throw nb::python_error();
    nb::object index = nb::steal(idx);
    std::optional<std::int64_t> n = as_int64(index);
    if (!n || *n <= 0)
        narvo::bind::raise_value_error(
            "week_length_days must be a positive whole number of days, got " +
            narvo::bind::py_repr(index));
    return *n;
}

namespace {

nb::object week_index_for_date(const WeatherProviderNative& p, nb::handle d) {
    const WeeklyTable& t = *p.table;
    if (PyDate_CheckExact(d.ptr()) && PyDate_CheckExact(p.run_start_date.ptr()))
        return nb::int_(t.week_for_ordinal(ordinal_of(d)));
    // (d - run_start_date).days // week_length_days
    nb::object days = (d - p.run_start_date).attr("days");
    return days.floor_div(nb::int_(t.week_length_days));
}

// The ordinal of the first day of week `w` when `w` is a plain int and that
// day is a calendar day; nothing otherwise.
std::optional<std::int64_t> first_day_ordinal(const WeatherProviderNative& p, nb::handle w) {
    if (!PyLong_CheckExact(w.ptr()) || !PyDate_CheckExact(p.run_start_date.ptr()))
        return std::nullopt;
    const std::optional<std::int64_t> week = as_int64(w);
    if (!week) return std::nullopt;
    const WeeklyTable& t = *p.table;
    std::int64_t days, ordinal;
    if (mul_overflows(*week, t.week_length_days, &days) ||
        add_overflows(t.run_start_ordinal, days, &ordinal) ||
        ordinal < narvo::core::kMinOrdinal || ordinal > narvo::core::kMaxOrdinal)
        return std::nullopt;
    return ordinal;
}

nb::object calendar_date_for_week(const WeatherProviderNative& p, nb::handle week_index) {
    if (std::optional<std::int64_t> ordinal = first_day_ordinal(p, week_index))
        return date_from_ordinal(*ordinal);
    // run_start_date + timedelta(days=week_index * week_length_days)
    nb::object days = week_index * nb::int_(p.table->week_length_days);
    nb::object span = narvo::bind::import_attr("datetime", "timedelta")("days"_a = days);
    return p.run_start_date + span;
}

}  // namespace

void add_calendar_queries(nb::class_<WeatherProviderNative>& provider) {
    provider.def(
        "week_index_for_date",
        [](nb::handle self, nb::handle d) { return week_index_for_date(native(self), d); },
        "d"_a.none(), nb::sig("def week_index_for_date(self, d: datetime.date) -> int"),
        "The week that contains the date ``d`` (negative before the run start).");
    provider.def(
        "calendar_date_for_week",
        [](nb::handle self, nb::handle w) { return calendar_date_for_week(native(self), w); },
        "week_index"_a.none(),
        nb::sig("def calendar_date_for_week(self, week_index: int) -> datetime.date"),
        "The first day of week ``week_index``.");
}

}  // namespace narvo::weather
