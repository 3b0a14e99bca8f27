// Reading a daily weather table: its heat-unit values and its dates as
// arrays the core sums into weeks. The table itself is not kept.
#include "modules/weather/weather.hpp"

#include <nanobind/ndarray.h>

#include <cmath>
#include <string>

namespace narvo::weather {

namespace {

narvo::bind::LazyAttr g_to_datetime{"pandas", "to_datetime"};
narvo::bind::LazyAttr g_data_frame{"pandas", "DataFrame"};

using DoubleArray = nb::ndarray<const double, nb::ndim<1>, nb::device::cpu, nb::ro>;
using Int64Array = nb::ndarray<const std::int64_t, nb::ndim<1>, nb::device::cpu, nb::ro>;

bool contains(nb::handle container, nb::handle item) {
    int r = PySequence_Contains(container.ptr(), item.ptr());
    if (r < 0) throw nb::python_error();
    return r == 1;
}

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
    if (!nb::isinstance<nb::str>(code)) return {};
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
            // Too large for a float is too large for 64 bits: the overflow
            // flag then tells the sign.
            int sign = 0;
            PyLong_AsLongLongAndOverflow(cell.ptr(), &sign);
            if (PyErr_Occurred()) throw nb::python_error();
            return nb::float_(sign < 0 ? -INFINITY : INFINITY);
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

}  // namespace

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

// Dates are parsed with the table library's default date parsing; a date-time
// with a time zone counts by its local date.
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
            narvo::bind::concat({nb::str("weather data has rows with a missing "),
                                 nb::repr(date_column), nb::str(" value at row(s) "),
                                 nb::repr(labels)}));
    }
    if (auto bad = narvo::core::first_out_of_range(ordinals)) {
        auto c = narvo::core::civil_from_ordinal(ordinals[*bad]);
        narvo::bind::raise_value_error("year " + std::to_string(c.year) + " is out of range");
    }
}

}  // namespace narvo::weather
