// py_narvo_pop.weather: the model calendar (which date starts week 0, how many
// days a week has) and the weekly heat-unit totals that drive thermal ageing.
//
// A provider converts its daily table to arrays once and sums the days into
// weeks in the core; every later question is answered from the core's table.
// Where an argument is not the plain kind the model uses (an int week, a
// date), the operation falls back to the interpreter's own arithmetic so that
// odd inputs behave, and fail, exactly as plain Python code would.
#include "bind/py.hpp"
#include "bind/record.hpp"
#include "bind/weather_native.hpp"
#include "core/pysum.hpp"
#include "core/weekly_table.hpp"

#include <nanobind/ndarray.h>
#include <nanobind/stl/shared_ptr.h>

#include <datetime.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace nb = nanobind;
using namespace nb::literals;
using narvo::bind::concat;
using narvo::bind::keep;
using narvo::bind::WeatherProviderNative;
using narvo::core::Strided;
using narvo::core::WeeklyTable;

namespace {

// ------------------------------------------------------------- ColumnMap ---

struct ColumnMap : narvo::bind::ObjectFields<3> {
    static constexpr std::array<const char*, 3> fields = {"date", "tmean", "heat_units"};
};

nb::handle g_weather_error;
nb::handle g_column_map_type;
nb::handle g_provider_type;
nb::handle g_week_total_name;     // interned "_week_total"
nb::handle g_native_week_total;   // WeatherProvider's own _week_total

nb::object new_column_map(nb::object date, nb::object tmean, nb::object heat_units) {
    nb::object obj = nb::inst_alloc(g_column_map_type);
    ColumnMap* c = nb::inst_ptr<ColumnMap>(obj);
    new (c) ColumnMap();
    c->values = {std::move(date), std::move(tmean), std::move(heat_units)};
    nb::inst_mark_ready(obj);
    return obj;
}

// ------------------------------------------------------ small helpers ---

[[noreturn]] void raise_weather(std::initializer_list<nb::handle> parts) {
    narvo::bind::raise_instance_of(g_weather_error, concat(parts));
}

narvo::bind::LazyAttr g_to_datetime{"pandas", "to_datetime"};
narvo::bind::LazyAttr g_data_frame{"pandas", "DataFrame"};

nb::object builtin(const char* name) { return narvo::bind::import_attr("builtins", name); }

nb::object get_item(nb::handle obj, nb::handle key) {
    PyObject* r = PyObject_GetItem(obj.ptr(), key.ptr());
    if (!r) throw nb::python_error();
    return nb::steal(r);
}

bool contains(nb::handle container, nb::handle item) {
    int r = PySequence_Contains(container.ptr(), item.ptr());
    if (r < 0) throw nb::python_error();
    return r == 1;
}

// `value` as an int64 when it is a Python int that fits.
std::optional<std::int64_t> as_int64(nb::handle value) {
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
    if (v == -1 && PyErr_Occurred()) throw nb::python_error();
    if (overflow) return std::nullopt;
    return static_cast<std::int64_t>(v);
}

nb::str format_plain(nb::handle value) {
    PyObject* r = PyObject_Format(value.ptr(), nullptr);
    if (!r) throw nb::python_error();
    return nb::steal<nb::str>(r);
}

// ------------------------------------------------------------ calendar ---

// A calendar date proper: a date that is not a date-time.
bool is_plain_date(nb::handle d) { return PyDate_Check(d.ptr()) && !PyDateTime_Check(d.ptr()); }

std::int64_t ordinal_of(nb::handle d) {
    PyObject* o = d.ptr();
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

// The ordinal of a run start date. The daily rows are calendar dates, so a
// start they cannot be subtracted from (a date-time, a text, ...) fails with
// the interpreter's own error for that subtraction.
std::int64_t run_start_ordinal(nb::handle start, nb::handle some_row_date) {
    if (is_plain_date(start)) return ordinal_of(start);
    PyObject* diff = PyNumber_Subtract(some_row_date.ptr(), start.ptr());
    if (!diff) throw nb::python_error();
    Py_DECREF(diff);
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

// ------------------------------------------------------- the daily table ---

using DoubleArray = nb::ndarray<const double, nb::ndim<1>, nb::device::cpu, nb::ro>;
using Int64Array = nb::ndarray<const std::int64_t, nb::ndim<1>, nb::device::cpu, nb::ro>;

// One column of `daily`, refusing a label shared by several columns (the
// selection is then a table, not a column).
nb::object single_column(nb::handle daily, nb::handle name) {
    nb::object col = get_item(daily, name);
    if (nb::isinstance(col, g_data_frame.get()))
        raise_weather({nb::str("weather data has more than one column named "),
                       nb::repr(name)});
    return col;
}

// The numpy type code of a column's dtype ("<f8", "<M8[us]", ...), or "" for a
// table library extension type or an object without a dtype.
std::string numpy_dtype_str(nb::handle column) {
    nb::object code = nb::getattr(nb::getattr(column, "dtype", nb::none()), "str", nb::none());
    if (!PyUnicode_Check(code.ptr())) return {};
    return nb::borrow<nb::str>(code).c_str();
}

template <class Array>
Array as_array(nb::handle numpy_array, const char* what) {
    Array out;
    if (!nb::try_cast(numpy_array, out, false))
        narvo::bind::raise_type_error(std::string("could not read the weather ") + what +
                                      " as a one-dimensional array");
    return out;
}

template <class Array>
auto strided(const Array& a) {
    using T = std::remove_const_t<typename Array::Scalar>;
    return Strided<T>{a.data(), a.stride(0), a.shape(0)};
}

// A whole number too large for a float reads as the float its digits spell
// (an infinity), as the same cell read as text converts: the table library
// may hand such a cell over as an int, which float() refuses outright.
nb::object float_of_cell(nb::handle cell) {
    if (PyLong_Check(cell.ptr())) {
        double d = PyLong_AsDouble(cell.ptr());
        if (d == -1.0 && PyErr_Occurred()) {
            if (!PyErr_ExceptionMatches(PyExc_OverflowError)) throw nb::python_error();
            PyErr_Clear();
            return nb::float_(_PyLong_Sign(cell.ptr()) < 0 ? -INFINITY : INFINITY);
        }
        return nb::float_(d);
    }
    return nb::borrow(cell);
}

// The daily values as floats. A cell of a kind that is no number at all (a
// date in the temperature column) fails as a text that is no number does: a
// ValueError, naming the column, with the conversion's own error as cause.
nb::object as_floats(nb::handle series, nb::handle name) {
    nb::handle float_type = reinterpret_cast<PyObject*>(&PyFloat_Type);
    try {
        try {
            return series.attr("astype")(float_type);
        } catch (nb::python_error& e) {
            if (!e.matches(PyExc_OverflowError)) throw;
        }
        return series.attr("map")(nb::cpp_function(&float_of_cell)).attr("astype")(float_type);
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_TypeError)) throw;
        nb::object cause = nb::borrow(e.value());
        narvo::bind::raise_from(PyExc_ValueError,
                                "could not convert the weather column " + narvo::bind::py_repr(name) +
                                    " to numbers: " + narvo::bind::py_str(cause),
                                cause);
    }
}

// The daily heat units: the heat-unit column as floats, or the mean
// temperature above the base (never below 0.0; missing stays missing).
struct DailyHeat {
    nb::object keep_alive;
    std::vector<double> owned;
    Strided<double> values;
};

DailyHeat daily_heat_units(nb::handle daily, nb::handle columns, nb::handle base_temperature_c) {
    nb::object heat_units = columns.attr("heat_units");
    nb::object labels = daily.attr("columns");
    nb::object series, name;
    bool from_tmean = heat_units.is_none();
    if (!from_tmean) {
        if (!contains(labels, heat_units))
            raise_weather({nb::str("heat_units column "), nb::repr(heat_units),
                           nb::str(" not found in weather data")});
        series = single_column(daily, heat_units);
        name = heat_units;
    } else {
        nb::object tmean = columns.attr("tmean");
        if (tmean.is_none() || !contains(labels, tmean))
            raise_weather({nb::str("tmean column "), nb::repr(tmean),
                           nb::str(" not found in weather data (and no heat_units column was "
                                   "given)")});
        series = single_column(daily, tmean);
        name = tmean;
    }
    DailyHeat out;
    // A float64 column converts to itself; skip the copy astype would make.
    if (numpy_dtype_str(series).rfind("<f8", 0) != 0) series = as_floats(series, name);
    out.keep_alive = series.attr("to_numpy")();
    DoubleArray arr = as_array<DoubleArray>(out.keep_alive, "values");
    out.values = strided(arr);
    if (from_tmean) {
        double base = PyFloat_AsDouble(base_temperature_c.ptr());
        if (base == -1.0 && PyErr_Occurred()) throw nb::python_error();
        out.owned.resize(out.values.n);
        for (std::size_t i = 0; i < out.values.n; ++i) {
            double d = out.values[i] - base;
            out.owned[i] = d < 0.0 ? 0.0 : d;
        }
        out.values = Strided<double>{out.owned.data(), 1, out.owned.size()};
    }
    return out;
}

// The calendar day of every row, parsed with the table library's default
// date parsing; a date-time with a time zone counts by its local date.
std::vector<std::int64_t> daily_ordinals(nb::handle daily, nb::handle date_column) {
    nb::object parsed = get_item(daily, date_column);
    // Naive datetime64 values are what the parsing would give back unchanged.
    if (numpy_dtype_str(parsed).rfind("<M8[", 0) != 0) {
        parsed = g_to_datetime.get()(parsed);
        nb::object dtype = nb::getattr(parsed, "dtype", nb::none());
        if (!nb::getattr(dtype, "tz", nb::none()).is_none())
            parsed = parsed.attr("dt").attr("tz_localize")(nb::none());
    }
    nb::object arr = parsed.attr("to_numpy")();
    std::string dtype = nb::borrow<nb::str>(arr.attr("dtype").attr("str")).c_str();
    auto open = dtype.find("M8[");
    auto close = dtype.rfind(']');
    if (open == std::string::npos || close == std::string::npos || close < open + 3)
        narvo::bind::raise_type_error("weather dates did not convert to date-times (got " +
                                      dtype + ")");
    std::string unit = dtype.substr(open + 3, close - open - 3);
    std::int64_t per_day = narvo::core::ticks_per_day(unit.c_str());
    if (per_day == 0) {
        arr = arr.attr("astype")("M8[D]");
        per_day = 1;
    }
    nb::object ticks_obj = arr.attr("view")("i8");
    Int64Array ticks = as_array<Int64Array>(ticks_obj, "dates");
    return narvo::core::ordinals_from_ticks(strided(ticks), per_day);
}

// A table without rows, or a row without a date, cannot be placed in the
// calendar: a ValueError, as taking the first week of no weeks would be.
void refuse_unplaceable_rows(nb::handle daily, nb::handle date_column,
                             const std::vector<std::int64_t>& ordinals) {
    if (ordinals.empty())
        narvo::bind::raise_value_error("weather data has no rows; expected one row per day");
    std::vector<std::size_t> missing = narvo::core::missing_positions(ordinals);
    if (!missing.empty()) {
        nb::list positions;
        for (std::size_t p : missing) positions.append(p);
        nb::object labels = daily.attr("index").attr("take")(positions).attr("tolist")();
        narvo::bind::raise_instance_of(
            PyExc_ValueError,
            concat({nb::str("weather data has rows with a missing "), nb::repr(date_column),
                    nb::str(" value at row(s) "), nb::repr(labels)}));
    }
    if (auto bad = narvo::core::first_out_of_range(ordinals)) {
        auto c = narvo::core::civil_from_ordinal(ordinals[*bad]);
        narvo::bind::raise_value_error("year " + std::to_string(c.year) + " is out of range");
    }
}

// ------------------------------------------------------------ provider ---

// The native state of `self`, refusing anything that is not a built provider:
// an instance made by __new__ alone, or by a subclass whose __init__ never
// reached WeatherProvider.__init__, has no calendar to answer from.
WeatherProviderNative& native(nb::handle self) {
    if (!PyObject_TypeCheck(self.ptr(), reinterpret_cast<PyTypeObject*>(g_provider_type.ptr())))
        narvo::bind::raise_instance_of(
            PyExc_TypeError, concat({nb::str("expected a WeatherProvider, got "),
                                     nb::str(nb::getattr(self.type(), "__qualname__"))}));
    if (!nb::inst_ready(self))
        narvo::bind::raise_instance_of(
            PyExc_TypeError,
            concat({nb::str("this "), nb::str(nb::getattr(self.type(), "__qualname__")),
                    nb::str(" was never initialised (a subclass's __init__ must call "
                            "super().__init__)")}));
    return *nb::inst_ptr<WeatherProviderNative>(self);
}

void construct(WeatherProviderNative* self, nb::handle daily, nb::handle columns,
               nb::object base_temperature_c, nb::object run_start_date,
               nb::handle week_length_days) {
    const std::int64_t week_length = positive_week_length(week_length_days);
    DailyHeat heat = daily_heat_units(daily, columns, base_temperature_c);
    nb::object date_column = columns.attr("date");
    std::vector<std::int64_t> ordinals = daily_ordinals(daily, date_column);
    refuse_unplaceable_rows(daily, date_column, ordinals);
    if (ordinals.size() != heat.values.n)
        narvo::bind::raise_value_error("weather dates and values differ in length");

    std::int64_t start;
    if (run_start_date.is_none()) {
        start = *std::min_element(ordinals.begin(), ordinals.end());
        run_start_date = date_from_ordinal(start);
    } else {
        start = run_start_ordinal(run_start_date, date_from_ordinal(ordinals.front()));
    }
    auto table = std::make_shared<const WeeklyTable>(
        narvo::core::build_weekly_table(ordinals, heat.values, start, week_length));
    new (self) WeatherProviderNative{std::move(table), std::move(base_temperature_c),
                                     std::move(run_start_date)};
}

nb::dict weekly_dict(const WeeklyTable& t) {
    nb::dict out;
    for (std::int64_t w = t.first_week; w <= t.last_week; ++w)
        if (t.has(w)) out[nb::int_(w)] = nb::float_(t.at(w));
    return out;
}

[[noreturn]] void refuse_week(const WeeklyTable& t, nb::handle week) {
    raise_weather({nb::str("week_index "), format_plain(week),
                   nb::str(" is outside the weather data's coverage ("),
                   nb::str(std::to_string(t.first_week).c_str()), nb::str(".."),
                   nb::str(std::to_string(t.last_week).c_str()), nb::str(")")});
}

[[noreturn]] void refuse_week(const WeeklyTable& t, std::int64_t week) {
    refuse_week(t, nb::int_(week));
}

// The total of the week that `key` names, looked up as a mapping keyed by
// whole numbers would look it up: 3, 3.0 and numpy's 3 all name week 3.
nb::object week_total(const WeeklyTable& t, nb::handle key) {
    PyObject* o = key.ptr();
    std::optional<std::int64_t> week;
    bool decided = true;
    if (PyLong_CheckExact(o) || PyBool_Check(o)) {
        week = as_int64(key);
    } else if (PyFloat_Check(o)) {
        double x = PyFloat_AS_DOUBLE(o);
        if (std::isfinite(x) && x == std::floor(x) && std::fabs(x) < 9.0e18)
            week = static_cast<std::int64_t>(x);
    } else if (PyIndex_Check(o) && !PyLong_Check(o)) {
        PyObject* idx = PyNumber_Index(o);
        if (idx) {
            week = as_int64(nb::steal(idx));
        } else {
            PyErr_Clear();
            decided = false;
        }
    } else {
        decided = false;
    }
    if (!decided) {
        // Anything else equal to a whole number (a Fraction, a Decimal, an int
        // subclass with its own equality) meets the mapping itself.
        nb::dict weeks = weekly_dict(t);
        PyObject* v = PyDict_GetItemWithError(weeks.ptr(), o);
        if (v) return nb::borrow(v);
        if (PyErr_Occurred()) throw nb::python_error();
        refuse_week(t, key);
    }
    if (!week || !t.has(*week)) refuse_week(t, key);
    return nb::float_(t.at(*week));
}

// A provider answers from its own table unless its class or the instance
// itself (an attribute set on it, as a test's patch does) replaced the lookup.
bool uses_native_lookup(nb::handle self) {
    PyTypeObject* type = Py_TYPE(self.ptr());
    if (reinterpret_cast<PyObject*>(type) == g_provider_type.ptr()) return true;
    if (_PyType_Lookup(type, g_week_total_name.ptr()) != g_native_week_total.ptr()) return false;
    if (!(type->tp_flags & Py_TPFLAGS_MANAGED_DICT) && type->tp_dictoffset == 0) return true;
    PyObject* dict = PyObject_GenericGetDict(self.ptr(), nullptr);
    if (!dict) throw nb::python_error();
    nb::object owned = nb::steal(dict);
    PyObject* own = PyDict_GetItemWithError(dict, g_week_total_name.ptr());
    if (!own && PyErr_Occurred()) throw nb::python_error();
    return own == nullptr;
}

// The weeks start..end (both included) as `range(start, end + 1)` forms them.
struct Span {
    bool empty = true;
    std::optional<std::int64_t> first;  // absent when too large to be a week
    nb::object first_obj;
    std::int64_t last = 0;
};

nb::object python_range(nb::handle start, nb::handle end) {
    PyObject* stop = PyNumber_Add(end.ptr(), nb::int_(1).ptr());
    if (!stop) throw nb::python_error();
    return builtin("range")(start, nb::steal(stop));
}

Span week_span(nb::handle start, nb::handle end) {
    Span s;
    if (PyLong_CheckExact(start.ptr()) && PyLong_CheckExact(end.ptr())) {
        auto a = as_int64(start), b = as_int64(end);
        if (a && b && *b < INT64_MAX) {
            s.empty = *a > *b;
            s.first = a;
            s.last = *b;
            return s;
        }
    }
    nb::object r = python_range(start, end);
    nb::object lo = r.attr("start"), stop = r.attr("stop");
    int ge = PyObject_RichCompareBool(lo.ptr(), stop.ptr(), Py_GE);
    if (ge < 0) throw nb::python_error();
    if (ge) return s;
    s.empty = false;
    s.first = as_int64(lo);
    s.first_obj = lo;
    nb::object last_obj = nb::steal(PyNumber_Subtract(stop.ptr(), nb::int_(1).ptr()));
    if (!last_obj.is_valid()) throw nb::python_error();
    auto last = as_int64(last_obj);
    s.last = last ? *last : INT64_MAX;  // a huge end: the data run out long before
    return s;
}

// The covered weeks of a span, in ascending order; the first uncovered week
// refuses the whole span.
template <class Visit>
void visit_span(const WeeklyTable& t, const Span& s, Visit&& visit) {
    if (s.empty) return;
    if (!s.first) refuse_week(t, s.first_obj);
    if (auto gap = narvo::core::first_uncovered(t, *s.first, s.last)) refuse_week(t, *gap);
    for (std::int64_t w = *s.first;; ++w) {
        visit(t.at(w));
        if (w == s.last) break;
    }
}

nb::object thermal_sum_between(nb::handle self, nb::handle start, nb::handle end) {
    if (!uses_native_lookup(self)) {
        nb::object lookups = builtin("map")(self.attr("_week_total"), python_range(start, end));
        return builtin("sum")(lookups);
    }
    const WeeklyTable& t = *native(self).table;
    narvo::core::PythonSum sum;
    visit_span(t, week_span(start, end), [&](double v) { sum.add(v); });
    if (sum.empty()) return nb::int_(0);
    return nb::float_(sum.result());
}

nb::list thermal_trajectory(nb::handle self, nb::handle start, nb::handle end) {
    nb::list out;
    if (!uses_native_lookup(self)) {
        nb::object lookup = self.attr("_week_total");
        nb::object running = nb::float_(0.0);
        for (nb::handle w : python_range(start, end)) {
            PyObject* next = PyNumber_Add(running.ptr(), lookup(w).ptr());
            if (!next) throw nb::python_error();
            running = nb::steal(next);
            out.append(running);
        }
        return out;
    }
    const WeeklyTable& t = *native(self).table;
    const Span span = week_span(start, end);
    std::vector<double> running;
    double total = 0.0;
    visit_span(t, span, [&](double v) {
        total += v;
        running.push_back(total);
    });
    nb::object list = nb::steal(PyList_New(static_cast<Py_ssize_t>(running.size())));
    if (!list.is_valid()) throw nb::python_error();
    for (std::size_t i = 0; i < running.size(); ++i) {
        PyObject* v = PyFloat_FromDouble(running[i]);
        if (!v) throw nb::python_error();
        PyList_SET_ITEM(list.ptr(), static_cast<Py_ssize_t>(i), v);
    }
    return nb::borrow<nb::list>(list);
}

nb::object week_index_for_date(nb::handle self, nb::handle d) {
    const WeatherProviderNative& p = native(self);
    if (PyDate_CheckExact(d.ptr()) && PyDate_CheckExact(p.run_start_date.ptr()))
        return nb::int_(p.table->week_for_ordinal(ordinal_of(d)));
    PyObject* diff = PyNumber_Subtract(d.ptr(), p.run_start_date.ptr());
    if (!diff) throw nb::python_error();
    nb::object days = nb::steal(diff).attr("days");
    PyObject* week = PyNumber_FloorDivide(days.ptr(), nb::int_(p.table->week_length_days).ptr());
    if (!week) throw nb::python_error();
    return nb::steal(week);
}

nb::object calendar_date_for_week(nb::handle self, nb::handle week_index) {
    const WeatherProviderNative& p = native(self);
    const WeeklyTable& t = *p.table;
    if (PyLong_CheckExact(week_index.ptr()) && PyDate_CheckExact(p.run_start_date.ptr())) {
        if (auto w = as_int64(week_index)) {
            std::int64_t days, ordinal;
            if (!__builtin_mul_overflow(*w, t.week_length_days, &days) &&
                !__builtin_add_overflow(t.run_start_ordinal, days, &ordinal) &&
                ordinal >= narvo::core::kMinOrdinal && ordinal <= narvo::core::kMaxOrdinal)
                return date_from_ordinal(ordinal);
        }
    }
    PyObject* days = PyNumber_Multiply(week_index.ptr(), nb::int_(t.week_length_days).ptr());
    if (!days) throw nb::python_error();
    nb::object span = narvo::bind::import_attr("datetime", "timedelta")("days"_a = nb::steal(days));
    PyObject* r = PyNumber_Add(p.run_start_date.ptr(), span.ptr());
    if (!r) throw nb::python_error();
    return nb::steal(r);
}

// Fills a fresh instance made by unpickling (of WeatherProvider or a
// subclass) from its calendar and weekly totals.
void restore_provider(nb::handle self, nb::handle state_obj) {
    if (!PyObject_TypeCheck(self.ptr(), reinterpret_cast<PyTypeObject*>(g_provider_type.ptr())))
        narvo::bind::raise_type_error("__setstate__ needs a WeatherProvider");
    if (nb::inst_ready(self))
        narvo::bind::raise_type_error("a WeatherProvider cannot be changed once built");
    nb::tuple state = nb::cast<nb::tuple>(state_obj);
    if (state.size() != 5) narvo::bind::raise_value_error("a provider's state has five items");
    nb::object base_temperature_c = state[0];
    nb::object run_start_date = state[2];
    nb::dict weekly = nb::cast<nb::dict>(state[3]);
    nb::object extra = state[4];
    if (!is_plain_date(run_start_date))
        narvo::bind::raise_type_error("run_start_date must be a calendar date (datetime.date)");
    if (weekly.size() == 0) narvo::bind::raise_value_error("a provider has at least one week");
    const std::int64_t week_length = positive_week_length(state[1]);
    std::vector<std::pair<std::int64_t, double>> entries;
    for (auto [k, v] : weekly) {
        auto w = as_int64(nb::int_(nb::borrow(k)));
        if (!w || *w < -narvo::core::kMaxOrdinal || *w > narvo::core::kMaxOrdinal)
            narvo::bind::raise_value_error("week " + narvo::bind::py_repr(k) +
                                           " lies outside the calendar");
        entries.emplace_back(*w, nb::cast<double>(v));
    }
    std::sort(entries.begin(), entries.end());
    std::vector<std::int64_t> weeks;
    std::vector<double> totals;
    for (auto& [w, v] : entries) {
        weeks.push_back(w);
        totals.push_back(v);
    }
    auto table = std::make_shared<const WeeklyTable>(narvo::core::table_from_entries(
        weeks, totals, ordinal_of(run_start_date), week_length));
    if (!extra.is_none()) self.attr("__dict__").attr("update")(extra);
    new (nb::inst_ptr<WeatherProviderNative>(self))
        WeatherProviderNative{std::move(table), std::move(base_temperature_c),
                              std::move(run_start_date)};
    nb::inst_mark_ready(self);
}

// ---------------------------------------------------- class methods ---

nb::object general_entry(nb::handle params, const char* key) {
    return get_item(params.attr("general"), nb::str(key));
}

nb::object int_of(nb::handle value) {
    PyObject* r = PyNumber_Long(value.ptr());
    if (!r) throw nb::python_error();
    return nb::steal(r);
}

const char* kProviderDoc =
    "The model calendar and the weekly heat-unit totals of a daily weather table.\n\n"
    "Week ``w`` begins ``w * week_length_days`` days after ``run_start_date``. Each\n"
    "day adds its heat units (the mean temperature above ``base_temperature_c``,\n"
    "never below 0.0, or the ``heat_units`` column itself) to its week; a missing\n"
    "value adds nothing but its week is still covered. A provider never changes\n"
    "once built.";

}  // namespace

NB_MODULE(weather, m) {
    m.doc() = "The model calendar, weekly heat units and thermal time queries.";
    PyDateTime_IMPORT;
    if (!PyDateTimeAPI) throw nb::python_error();
    g_weather_error = keep(narvo::bind::import_attr("py_narvo_pop.exceptions", "WeatherError"));
    g_week_total_name = keep(nb::steal(PyUnicode_InternFromString("_week_total")));

    // ColumnMap: immutable, hashable.
    auto colmap = nb::class_<ColumnMap>(
        m, "ColumnMap",
        "Names of the columns of a daily weather table: the day, the mean temperature\n"
        "and, when heat units are supplied directly, the heat units (which then take\n"
        "precedence over the mean temperature).");
    colmap.def(
        "__init__",
        [](ColumnMap* self, nb::object date, nb::object tmean, nb::object heat_units) {
            new (self) ColumnMap();
            self->values = {std::move(date), std::move(tmean), std::move(heat_units)};
        },
        "date"_a.none() = "date", "tmean"_a.none() = "tmean", "heat_units"_a.none() = nb::none(),
        nb::sig("def __init__(self, date: str = 'date', tmean: str | None = 'tmean', "
                "heat_units: str | None = None) -> None"));
    narvo::bind::add_record_protocol(
        colmap, {{{"date", "str"}, {"tmean", "str | None"}, {"heat_units", "str | None"}}});
    g_column_map_type = colmap;

    auto provider = nb::class_<WeatherProviderNative>(m, "WeatherProvider", kProviderDoc);
    g_provider_type = provider;

    nb::object init_columns = new_column_map(nb::str("date"), nb::str("tmean"), nb::none());
    provider.def(
        "__init__",
        [](WeatherProviderNative* self, nb::handle daily, nb::handle columns,
           nb::object base_temperature_c, nb::object run_start_date, nb::handle week_length_days) {
            construct(self, daily, columns, std::move(base_temperature_c),
                      std::move(run_start_date), week_length_days);
        },
        "daily"_a.none(), "columns"_a.none() = init_columns, nb::kw_only(),
        "base_temperature_c"_a.none() = 14.0, "run_start_date"_a.none() = nb::none(),
        "week_length_days"_a.none() = 7,
        nb::sig("def __init__(self, daily: pandas.DataFrame, columns: ColumnMap = ColumnMap(), *, "
                "base_temperature_c: float = 14.0, run_start_date: datetime.date | None = None, "
                "week_length_days: int = 7) -> None"),
        "Sum the daily table's heat units per model week.\n\n"
        "``run_start_date`` (the first day of week 0) defaults to the earliest date of\n"
        "the table.");

    nb::object params_columns = new_column_map(nb::str("date"), nb::str("tmean"), nb::none());
    narvo::bind::add_classmethod(
        provider, "from_params",
        nb::cpp_function(
            [](nb::handle cls, nb::handle daily, nb::handle params, nb::handle columns,
               nb::handle run_start_date) {
                nb::object base = general_entry(params, "base_temperature_c");
                nb::object weeks = int_of(general_entry(params, "week_length_days"));
                return cls(daily, columns, "base_temperature_c"_a = base,
                           "week_length_days"_a = weeks, "run_start_date"_a = run_start_date);
            },
            nb::name("from_params"), "cls"_a, "daily"_a.none(), "params"_a.none(),
            "columns"_a.none() = params_columns, nb::kw_only(),
            "run_start_date"_a.none() = nb::none(),
            nb::sig("def from_params(cls, daily: pandas.DataFrame, params: typing.Any, "
                    "columns: ColumnMap = ColumnMap(), *, "
                    "run_start_date: datetime.date | None = None) -> typing.Self"),
            "A provider whose base temperature and week length come from\n"
            "``params.general`` (``base_temperature_c``, ``week_length_days``)."));

    nb::object file_columns = new_column_map(nb::str("date"), nb::str("tmean"), nb::none());
    nb::object tmean_columns = new_column_map(nb::str("date"), nb::str("tmean"), nb::none());
    nb::object heat_columns = new_column_map(nb::str("date"), nb::none(), nb::str("heat_units"));
    narvo::bind::add_classmethod(
        provider, "from_file",
        nb::cpp_function(
            [tmean_columns, heat_columns](nb::handle cls, nb::handle path, nb::handle columns,
                                          nb::handle base_temperature_c,
                                          nb::handle week_length_days,
                                          nb::handle run_start_date) {
                nb::object reader =
                    narvo::bind::import_attr("py_narvo_pop.readers.vimlo", "WeatherFileReader");
                nb::object result = reader.attr("read")(path, columns);
                nb::object canonical =
                    columns.attr("heat_units").is_none() ? tmean_columns : heat_columns;
                return cls(result.attr("data"), canonical,
                           "base_temperature_c"_a = base_temperature_c,
                           "week_length_days"_a = week_length_days,
                           "run_start_date"_a = run_start_date);
            },
            nb::name("from_file"), "cls"_a, "path"_a.none(), "columns"_a.none() = file_columns,
            nb::kw_only(), "base_temperature_c"_a.none() = 14.0,
            "week_length_days"_a.none() = 7, "run_start_date"_a.none() = nb::none(),
            nb::sig("def from_file(cls, path: str | os.PathLike[str], "
                    "columns: ColumnMap = ColumnMap(), *, base_temperature_c: float = 14.0, "
                    "week_length_days: int = 7, run_start_date: datetime.date | None = None) "
                    "-> typing.Self"),
            "A provider built from a daily weather file (.csv, .xlsx or .xls)."));

    nb::object file_params_columns = new_column_map(nb::str("date"), nb::str("tmean"), nb::none());
    narvo::bind::add_classmethod(
        provider, "from_file_and_params",
        nb::cpp_function(
            [](nb::handle cls, nb::handle path, nb::handle params, nb::handle columns,
               nb::handle run_start_date) {
                nb::object base = general_entry(params, "base_temperature_c");
                nb::object weeks = int_of(general_entry(params, "week_length_days"));
                return cls.attr("from_file")(path, columns, "base_temperature_c"_a = base,
                                             "week_length_days"_a = weeks,
                                             "run_start_date"_a = run_start_date);
            },
            nb::name("from_file_and_params"), "cls"_a, "path"_a.none(), "params"_a.none(),
            "columns"_a.none() = file_params_columns, nb::kw_only(),
            "run_start_date"_a.none() = nb::none(),
            nb::sig("def from_file_and_params(cls, path: str | os.PathLike[str], "
                    "params: typing.Any, columns: ColumnMap = ColumnMap(), *, "
                    "run_start_date: datetime.date | None = None) -> typing.Self"),
            "``from_file`` with base temperature and week length from ``params.general``."));

    provider.def_prop_ro(
        "min_week_index", [](nb::handle self) { return native(self).table->first_week; },
        "The first week with weather data.");
    provider.def_prop_ro(
        "max_week_index", [](nb::handle self) { return native(self).table->last_week; },
        "The last week with weather data.");
    provider.def_prop_ro(
        "week_length_days", [](nb::handle self) { return native(self).table->week_length_days; },
        "Days per model week.");
    provider.def_prop_ro(
        "run_start_date", [](nb::handle self) { return native(self).run_start_date; },
        nb::sig("def run_start_date(self, /) -> datetime.date"), "The first day of week 0.");
    provider.def_prop_ro(
        "_base_temperature_c", [](nb::handle self) { return native(self).base_temperature_c; },
        nb::sig("def _base_temperature_c(self, /) -> float"));
    provider.def_prop_ro(
        "_week_length_days",
        [](nb::handle self) { return native(self).table->week_length_days; });
    provider.def_prop_ro(
        "_run_start_date", [](nb::handle self) { return native(self).run_start_date; },
        nb::sig("def _run_start_date(self, /) -> datetime.date"));
    provider.def_prop_ro(
        "_weekly_heat_units",
        [](nb::handle self) { return weekly_dict(*native(self).table); },
        nb::sig("def _weekly_heat_units(self, /) -> dict[int, float]"),
        "Week index to heat-unit total, covered weeks only, ascending (a new dict).");
    provider.def_prop_ro(
        "_first_week", [](nb::handle self) { return native(self).table->first_week; });
    provider.def_prop_ro(
        "_last_week", [](nb::handle self) { return native(self).table->last_week; });

    provider.def(
        "week_index_for_date",
        [](nb::handle self, nb::handle d) { return week_index_for_date(self, d); }, "d"_a.none(),
        nb::sig("def week_index_for_date(self, d: datetime.date) -> int"),
        "The week that contains the date ``d`` (negative before the run start).");
    provider.def(
        "calendar_date_for_week",
        [](nb::handle self, nb::handle w) { return calendar_date_for_week(self, w); },
        "week_index"_a.none(),
        nb::sig("def calendar_date_for_week(self, week_index: int) -> datetime.date"),
        "The first day of week ``week_index``.");
    provider.def(
        "_week_total",
        [](nb::handle self, nb::handle w) { return week_total(*native(self).table, w); },
        "week_index"_a.none(), nb::sig("def _week_total(self, week_index: int) -> float"),
        "The heat-unit total of a week with weather data; WeatherError otherwise.");
    g_native_week_total = keep(nb::borrow(_PyType_Lookup(
        reinterpret_cast<PyTypeObject*>(provider.ptr()), g_week_total_name.ptr())));
    provider.def(
        "thermal_increment",
        [](nb::handle self, nb::handle w) -> nb::object {
            if (uses_native_lookup(self)) return week_total(*native(self).table, w);
            return self.attr("_week_total")(w);
        },
        "week_index"_a.none(), nb::sig("def thermal_increment(self, week_index: int) -> float"),
        "The heat units of week ``week_index``.");
    provider.def(
        "thermal_sum_between",
        [](nb::handle self, nb::handle a, nb::handle b) { return thermal_sum_between(self, a, b); },
        "start_week_index"_a.none(), "end_week_index"_a.none(),
        nb::sig("def thermal_sum_between(self, start_week_index: int, end_week_index: int) "
                "-> float"),
        "The heat units of the weeks from start to end, both included, summed as the\n"
        "built-in sum() does (the integer 0 when start is after end).");
    provider.def(
        "thermal_trajectory",
        [](nb::handle self, nb::handle a, nb::handle b) { return thermal_trajectory(self, a, b); },
        "start_week_index"_a.none(), "end_week_index"_a.none(),
        nb::sig("def thermal_trajectory(self, start_week_index: int, end_week_index: int) "
                "-> list[float]"),
        "The running heat-unit total after each week from start to end, both included.");

    provider.def(
        "__reduce__",
        [](nb::handle self) {
            const WeatherProviderNative& p = native(self);
            nb::object extra = nb::none();
            if (nb::hasattr(self, "__dict__")) {
                nb::object d = self.attr("__dict__");
                if (nb::len(d) > 0) extra = d;
            }
            return nb::make_tuple(
                narvo::bind::import_attr("copyreg", "__newobj__"), nb::make_tuple(self.type()),
                nb::make_tuple(p.base_temperature_c, p.table->week_length_days, p.run_start_date,
                               weekly_dict(*p.table), extra));
        },
        nb::sig("def __reduce__(self) -> tuple[typing.Any, ...]"));
    provider.def(
        "__setstate__", [](nb::handle self, nb::handle state) { restore_provider(self, state); },
        "state"_a, nb::sig("def __setstate__(self, state: tuple[typing.Any, ...], /) -> None"));
}
