// Shared declarations of the py_narvo_pop.weather extension module, whose
// sources are split by concept:
//   column_map.cpp   ColumnMap, the record naming a weather table's columns
//   daily_table.cpp  reading a daily table's heat units and dates into arrays
//   calendar.cpp     dates and week indices (the only user of the datetime C API)
//   provider.cpp     WeatherProvider: construction, class methods, properties,
//                    pickling
//   thermal.cpp      the thermal-time queries and the _week_total lookup
//   module.cpp       module init
//
// Every method decides at its top which path serves the call: the native path
// answers from the core's weekly table; the compatibility path does the same
// work with Python objects, for arguments that are not the plain kinds the
// model uses or for a provider whose _week_total has been replaced.
#pragma once

#include "bind/py.hpp"
#include "bind/weather_native.hpp"
#include "core/weekly_table.hpp"

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <vector>

namespace narvo::weather {

namespace nb = nanobind;
using narvo::bind::WeatherProviderNative;
using narvo::core::Strided;
using narvo::core::WeeklyTable;

// Objects the module keeps for the life of the process, set by module init.
inline nb::handle g_weather_error;      // py_narvo_pop.exceptions.WeatherError
inline nb::handle g_column_map_type;    // ColumnMap
inline nb::handle g_provider_type;      // WeatherProvider
inline nb::handle g_week_total_name;    // interned "_week_total"
inline nb::handle g_native_week_total;  // WeatherProvider's own _week_total

// ------------------------------------------------------- small helpers ---

[[noreturn]] inline void raise_weather(std::initializer_list<nb::handle> parts) {
    narvo::bind::raise_instance_of(g_weather_error, narvo::bind::concat(parts));
}

inline nb::object builtin(const char* name) { return narvo::bind::import_attr("builtins", name); }

inline nb::object get_item(nb::handle obj, nb::handle key) { return obj[key]; }

// `value` as an int64 when it is a Python int that fits.
inline std::optional<std::int64_t> as_int64(nb::handle value) {
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
    if (v == -1 && PyErr_Occurred()) throw nb::python_error();
    if (overflow) return std::nullopt;
    return static_cast<std::int64_t>(v);
}

// `value` in its plain form, as format(value) gives it.
inline nb::str format_plain(nb::handle value) {
    PyObject* r = PyObject_Format(value.ptr(), nullptr);
    if (!r) throw nb::python_error();
    return nb::steal<nb::str>(r);
}

// ---------------------------------------------------------- column_map ---

void add_column_map(nb::module_& m);
nb::object new_column_map(nb::object date, nb::object tmean, nb::object heat_units);

// --------------------------------------------------------- daily_table ---

// The daily heat units: the heat-unit column as floats, or the mean
// temperature above the base (never below 0.0; missing stays missing).
struct DailyHeat {
    nb::object keep_alive;
    std::vector<double> owned;
    Strided<double> values;
};

DailyHeat daily_heat_units(nb::handle daily, nb::handle columns, nb::handle base_temperature_c);
// The day ordinal of every row (kNaT where the date is missing).
std::vector<std::int64_t> daily_ordinals(nb::handle daily, nb::handle date_column);
// Refuses a table without rows and rows that no week can hold.
void refuse_unplaceable_rows(nb::handle daily, nb::handle date_column,
                             const std::vector<std::int64_t>& ordinals);

// ------------------------------------------------------------ calendar ---

void init_calendar();  // imports the datetime C API for calendar.cpp
// A calendar date proper: a date that is not a date-time.
bool is_plain_date(nb::handle d);
std::int64_t ordinal_of(nb::handle date);
nb::object date_from_ordinal(std::int64_t ordinal);
// The ordinal of a run start date given by the caller.
std::int64_t run_start_ordinal(nb::handle start, nb::handle some_row_date);
std::int64_t positive_week_length(nb::handle value);
// Defines week_index_for_date and calendar_date_for_week on the provider class.
void add_calendar_queries(nb::class_<WeatherProviderNative>& provider);

// ------------------------------------------------------------ provider ---

void add_provider(nb::module_& m);
// The TypeError for a `self` that native() refuses.
[[noreturn]] void refuse_unbuilt(nb::handle self);

// The native state of `self`, refusing anything that is not a built provider:
// an instance made by __new__ alone, or by a subclass whose __init__ never
// reached WeatherProvider.__init__, has no calendar to answer from.
inline WeatherProviderNative& native(nb::handle self) {
    if (!PyObject_TypeCheck(self.ptr(), reinterpret_cast<PyTypeObject*>(g_provider_type.ptr())) ||
        !nb::inst_ready(self))
        refuse_unbuilt(self);
    return *nb::inst_ptr<WeatherProviderNative>(self);
}
nb::dict weekly_dict(const WeeklyTable& t);

// ------------------------------------------------------------- thermal ---

// Defines _week_total and the thermal_* methods on the provider class.
void add_thermal_queries(nb::class_<WeatherProviderNative>& provider);

}  // namespace narvo::weather
