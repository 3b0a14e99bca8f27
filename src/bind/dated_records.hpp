// What the weekly data objects built from field records share: placing dated
// rows into model weeks through a weather provider, reading numeric columns as
// optional floats in one pass, answering lookups whose week argument may be
// any number, and packing native arrays for pickling.
//
// Include from exactly one translation unit per module and call
// import_datetime_api() from the module's init: the datetime C API pointer is
// private to each translation unit.
#pragma once

#include "bind/py.hpp"
#include "bind/reader_checks.hpp"
#include "bind/weather_native.hpp"
#include "core/week_records.hpp"

#include <nanobind/ndarray.h>

#include <datetime.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

namespace narvo::bind {

using namespace nanobind::literals;

inline void import_datetime_api() {
    PyDateTime_IMPORT;
    if (!PyDateTimeAPI) throw nb::python_error();
}

// The cells of a column as the interpreter's values (as a row walk sees
// them): Series.tolist().
inline nb::list cells_of(nb::handle column) {
    nb::object cells = column.attr("tolist")();
    if (PyList_CheckExact(cells.ptr())) return nb::borrow<nb::list>(cells);
    return nb::list(cells);
}

// ------------------------------------------------------------- weeks ---

// The week of a date as the provider's week_index_for_date gives it. When the
// provider is exactly the package's own WeatherProvider and the cell is a
// plain calendar date, the week comes from its native calendar (the same
// arithmetic the provider does for such a date); anything else goes through
// the provider's method. The method is looked up on first use, so a table
// with no rows never touches the provider.
class WeekOfDate {
public:
    explicit WeekOfDate(nb::handle weather) : weather_(weather) {
        if (const core::WeeklyTable* t = native_weekly_table(weather)) {
            auto* native = nb::inst_ptr<WeatherProviderNative>(weather);
            if (PyDate_CheckExact(native->run_start_date.ptr())) table_ = t;
        }
    }

    std::int64_t operator()(nb::handle date) {
        if (table_ && PyDate_CheckExact(date.ptr())) {
            PyObject* d = date.ptr();
            return table_->week_for_ordinal(core::ordinal_from_civil(
                PyDateTime_GET_YEAR(d), PyDateTime_GET_MONTH(d), PyDateTime_GET_DAY(d)));
        }
        if (!method_.is_valid()) method_ = weather_.attr("week_index_for_date");
        PyObject* r = PyObject_CallOneArg(method_.ptr(), date.ptr());
        if (!r) throw nb::python_error();
        return whole_week(nb::steal(r), date);
    }

private:
    // Weeks are whole numbers (ints, numpy integers, anything with __index__).
    static std::int64_t whole_week(nb::handle week, nb::handle date) {
        if (!PyIndex_Check(week.ptr()))
            raise_instance_of(
                PyExc_TypeError,
                concat({nb::str("week_index_for_date returned "), nb::repr(week), nb::str(" for "),
                        nb::repr(date), nb::str("; expected a whole number of weeks")}));
        PyObject* index = PyNumber_Index(week.ptr());
        if (!index) throw nb::python_error();
        long long v = PyLong_AsLongLong(index);
        Py_DECREF(index);
        if (v == -1 && PyErr_Occurred()) throw nb::python_error();
        return v;
    }

    nb::handle weather_;
    nb::object method_;
    const core::WeeklyTable* table_ = nullptr;
};

inline std::vector<std::int64_t> weeks_of_dates(nb::handle weather, nb::handle date_cells) {
    WeekOfDate week_of(weather);
    std::vector<std::int64_t> weeks;
    weeks.reserve(static_cast<std::size_t>(nb::len(date_cells)));
    for (nb::handle d : date_cells) weeks.push_back(week_of(d));
    return weeks;
}

// The stored week a lookup argument can equal: a week is an int key, and a
// value equals it exactly when it is a number with that integral value (5,
// 5.0, numpy.int64(5), Decimal(5)). Nothing for any other value; an
// unhashable one raises TypeError as a mapping lookup would.
inline std::optional<std::int64_t> lookup_week(nb::handle value) {
    PyObject* v = value.ptr();
    if (!PyLong_CheckExact(v)) {
        if (PyObject_Hash(v) == -1) throw nb::python_error();
        PyObject* as_int = PyNumber_Long(v);
        if (!as_int) {
            PyErr_Clear();  // not a number, or inf/NaN: no week equals it
            return std::nullopt;
        }
        nb::object i = nb::steal(as_int);
        int eq = PyObject_RichCompareBool(i.ptr(), v, Py_EQ);
        if (eq < 0) throw nb::python_error();
        if (!eq) return std::nullopt;
        return lookup_week(i);
    }
    int overflow = 0;
    long long w = PyLong_AsLongLongAndOverflow(v, &overflow);
    if (overflow) return std::nullopt;
    if (w == -1 && PyErr_Occurred()) throw nb::python_error();
    return w;
}

// first <= week_index <= last, compared as the interpreter compares numbers.
inline bool span_covers(const core::WeekSpan& span, nb::handle week_index) {
    if (!span.any) return false;
    if (PyLong_CheckExact(week_index.ptr())) {
        int overflow = 0;
        long long w = PyLong_AsLongLongAndOverflow(week_index.ptr(), &overflow);
        if (overflow) return false;
        return span.covers(w);
    }
    nb::object first = nb::int_(span.first), last = nb::int_(span.last);
    int lo = PyObject_RichCompareBool(first.ptr(), week_index.ptr(), Py_LE);
    if (lo < 0) throw nb::python_error();
    if (!lo) return false;
    int hi = PyObject_RichCompareBool(week_index.ptr(), last.ptr(), Py_LE);
    if (hi < 0) throw nb::python_error();
    return hi == 1;
}

inline nb::object optional_int(const core::WeekSpan& span, bool last) {
    if (!span.any) return nb::none();
    return nb::int_(last ? span.last : span.first);
}

// The native state of a data object, refusing one that was never built: an
// instance made by __new__ alone, or by a subclass whose __init__ did not
// call up, has nothing to read.
template <class T>
const T& built(nb::handle self) {
    if (!nb::isinstance<T>(self))
        raise_instance_of(PyExc_TypeError,
                          concat({nb::str("expected "),
                                  nb::str(nb::getattr(nb::type<T>(), "__qualname__")),
                                  nb::str(", got "), nb::str(nb::getattr(self.type(), "__qualname__"))}));
    if (!nb::inst_ready(self))
        raise_instance_of(PyExc_TypeError,
                          concat({nb::str("this "), nb::str(nb::getattr(self.type(), "__qualname__")),
                                  nb::str(" was never initialised (a subclass's __init__ must call "
                                          "super().__init__)")}));
    return *nb::inst_ptr<T>(self);
}

// week_is_covered(week_index), first_week and last_week (with their private
// twins _first_week and _last_week) of a data class whose native state T has
// a `span`.
template <class T>
void add_week_span_members(nb::class_<T>& cls, const char* covered_doc) {
    cls.def(
        "week_is_covered",
        [](const T& d, nb::handle week_index) { return span_covers(d.span, week_index); },
        "week_index"_a.none(), nb::sig("def week_is_covered(self, week_index: int) -> bool"),
        covered_doc);
    cls.def_prop_ro(
        "first_week", [](nb::handle self) { return optional_int(built<T>(self).span, false); },
        nb::sig("def first_week(self, /) -> int | None"),
        "The earliest model week of any record, or None when there are no records.");
    cls.def_prop_ro(
        "last_week", [](nb::handle self) { return optional_int(built<T>(self).span, true); },
        nb::sig("def last_week(self, /) -> int | None"),
        "The latest model week of any record, or None when there are no records.");
    cls.def_prop_ro(
        "_first_week", [](nb::handle self) { return optional_int(built<T>(self).span, false); },
        nb::sig("def _first_week(self, /) -> int | None"));
    cls.def_prop_ro(
        "_last_week", [](nb::handle self) { return optional_int(built<T>(self).span, true); },
        nb::sig("def _last_week(self, /) -> int | None"));
}

// ------------------------------------------------------ weekly tables ---

// A new one-dimensional numpy array holding `values`.
template <class V>
nb::object numpy_column(std::vector<V> values) {
    auto* held = new std::vector<V>(std::move(values));
    nb::capsule owner(held, [](void* p) noexcept { delete static_cast<std::vector<V>*>(p); });
    return nb::cast(nb::ndarray<nb::numpy, V, nb::ndim<1>>(held->data(), {held->size()}, owner));
}

// The `date` column of a weekly table: the first day of each week as
// weather.calendar_date_for_week gives it, or NaT throughout when there is no
// provider to ask. The column holds the provider's dates as they are
// (calendar dates, dtype object), like the date columns of the readers and of
// the engine's history.
inline nb::object week_start_dates(const std::vector<std::int64_t>& weeks, nb::handle weather) {
    nb::list dates;
    if (weather.is_none()) {
        nb::object nat = pandas_attr("NaT");
        for (std::size_t i = 0; i < weeks.size(); ++i) dates.append(nat);
    } else if (!weeks.empty()) {
        nb::object date_of = weather.attr("calendar_date_for_week");
        for (std::int64_t w : weeks) dates.append(date_of(w));
    }
    return pandas_attr("Series")(dates, "dtype"_a = "object");
}

// ---------------------------------------------------- optional floats ---

inline LazyAttr g_pandas_isna{"pandas", "isna"};

// True when pandas counts `value` missing. None, floats and ints are answered
// here; anything else is asked of pandas.isna.
inline bool is_missing(nb::handle value) {
    PyObject* v = value.ptr();
    if (v == Py_None) return true;
    if (PyFloat_Check(v)) return std::isnan(PyFloat_AS_DOUBLE(v));
    if (PyLong_CheckExact(v) || PyUnicode_CheckExact(v)) return false;
    nb::object answer = g_pandas_isna.get()(value);
    int truth = PyObject_IsTrue(answer.ptr());
    if (truth < 0) throw nb::python_error();
    return truth == 1;
}

// _optional_float: None for a value pandas counts missing, else float(value).
inline nb::object optional_float(nb::handle value) {
    if (is_missing(value)) return nb::none();
    if (PyFloat_CheckExact(value.ptr())) return nb::borrow(value);
    PyObject* f = PyNumber_Float(value.ptr());
    if (!f) throw nb::python_error();
    return nb::steal(f);
}

// The same as a double, NaN standing for None.
inline double float_or_nan(nb::handle value) {
    if (is_missing(value)) return NAN;
    if (PyFloat_Check(value.ptr())) return PyFloat_AS_DOUBLE(value.ptr());
    PyObject* f = PyNumber_Float(value.ptr());
    if (!f) throw nb::python_error();
    double d = PyFloat_AS_DOUBLE(f);
    Py_DECREF(f);
    return d;
}

inline nb::object none_or_float(double d) {
    if (std::isnan(d)) return nb::none();
    return nb::float_(d);
}

using DoubleColumn = nb::ndarray<const double, nb::ndim<1>, nb::device::cpu, nb::ro>;

// One column as doubles, NaN where pandas counts the cell missing, and
// float(cell) elsewhere. Numeric columns (floats, ints, booleans, with or
// without pandas' missing marker) convert in one array operation; any other
// column converts cell by cell, as the row walk would see the cells.
inline std::vector<double> column_floats(nb::handle column) {
    std::string kind = nb::borrow<nb::str>(nb::str(column.attr("dtype").attr("kind"))).c_str();
    std::vector<double> out;
    if (kind == "f" || kind == "i" || kind == "u" || kind == "b") {
        nb::object arr = column.attr("to_numpy")("dtype"_a = "float64", "na_value"_a = NAN);
        DoubleColumn values;
        if (!nb::try_cast(arr, values, false))
            raise_type_error("could not read a numeric column as a one-dimensional array");
        const double* data = values.data();
        std::int64_t stride = values.stride(0);
        out.resize(values.shape(0));
        for (std::size_t i = 0; i < out.size(); ++i) out[i] = data[static_cast<std::int64_t>(i) * stride];
        return out;
    }
    nb::list cells = cells_of(column);
    out.reserve(static_cast<std::size_t>(nb::len(cells)));
    for (nb::handle cell : cells) out.push_back(float_or_nan(cell));
    return out;
}

// ------------------------------------------------------------ pickling ---

inline LazyAttr g_copyreg_newobj{"copyreg", "__newobj__"};

// Pickling through __getstate__/__setstate__ for every protocol: protocols 0
// and 1 do not reach a native class's __getstate__ by themselves, so
// __reduce__ names the steps (an empty instance of the class, then its state).
template <class T>
void add_state_reduce(nb::class_<T>& cls) {
    cls.def(
        "__reduce__",
        [](nb::handle self) {
            built<T>(self);
            return nb::make_tuple(g_copyreg_newobj.get(), nb::make_tuple(self.type()),
                                  self.attr("__getstate__")());
        },
        nb::sig("def __reduce__(self) -> tuple[typing.Any, ...]"));
}

template <class T>
nb::bytes pack(const std::vector<T>& values) {
    static_assert(std::is_trivially_copyable_v<T>);
    return nb::bytes(reinterpret_cast<const char*>(values.data()), values.size() * sizeof(T));
}

template <class T>
std::vector<T> unpack(nb::handle blob, const char* what) {
    static_assert(std::is_trivially_copyable_v<T>);
    if (!PyBytes_Check(blob.ptr()))
        raise_type_error(std::string("pickled ") + what + " must be bytes");
    std::size_t size = static_cast<std::size_t>(PyBytes_GET_SIZE(blob.ptr()));
    if (size % sizeof(T) != 0)
        raise_value_error(std::string("pickled ") + what + " has a partial record");
    std::vector<T> out(size / sizeof(T));
    if (size) std::memcpy(out.data(), PyBytes_AS_STRING(blob.ptr()), size);
    return out;
}

// The span of a pickled object: (None, None) or (first, last).
inline nb::tuple pack_span(const core::WeekSpan& span) {
    return nb::make_tuple(optional_int(span, false), optional_int(span, true));
}

inline core::WeekSpan unpack_span(nb::handle first, nb::handle last) {
    core::WeekSpan span;
    if (first.is_none() != last.is_none())
        raise_value_error("pickled week span has only one end");
    if (first.is_none()) return span;
    span.add(nb::cast<std::int64_t>(first));
    span.add(nb::cast<std::int64_t>(last));
    return span;
}

}  // namespace narvo::bind
