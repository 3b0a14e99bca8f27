// The whole-column rules that the field-file readers share: row-label lists
// for messages, negative-value checks, date parsing with the parse error as
// the cause, duplicate rows, and the refusal of rows a data object cannot
// place. Every rule is one or two pandas operations over whole columns; the
// readers never walk rows.
#pragma once

#include "bind/py.hpp"
#include "core/repeated_rows.hpp"

#include <nanobind/ndarray.h>

#include <cstdint>
#include <optional>
#include <vector>

namespace narvo::bind {

using namespace nanobind::literals;

// The package's reader foundation and notice types, imported by name once
// when a reader module loads.
struct ReaderImports {
    nb::handle read_table;
    nb::handle clean_text;
    nb::handle require_columns;
    nb::handle notice;
    nb::handle notice_kind;
    nb::handle notice_log;
    nb::handle read_result;

    static ReaderImports load() {
        const char* common = "py_narvo_pop.readers._common";
        const char* notices = "py_narvo_pop.notices";
        return {keep(import_attr(common, "_read_table")),
                keep(import_attr(common, "_clean_text")),
                keep(import_attr(common, "_require_columns")),
                keep(import_attr(notices, "Notice")),
                keep(import_attr(notices, "NoticeKind")),
                keep(import_attr(notices, "NoticeLog")),
                keep(import_attr(notices, "ReadResult"))};
    }
};

// pandas is imported on first use, not when a reader module loads. (Once
// imported, the import is a lookup in the table of loaded modules.)
inline nb::object pandas_attr(const char* name) {
    return nb::module_::import_("pandas").attr(name);
}

inline LazyAttr g_pandas_take{"pandas.api.extensions", "take"};

inline bool truthy(nb::handle value) {
    int r = PyObject_IsTrue(value.ptr());
    if (r < 0) throw nb::python_error();
    return r == 1;
}

inline bool has_column(nb::handle table, nb::handle name) {
    int r = PySequence_Contains(nb::object(table.attr("columns")).ptr(), name.ptr());
    if (r < 0) throw nb::python_error();
    return r == 1;
}

// "production file 'prod.csv'": a description of the file and the path as
// the caller passed it, in its repr.
inline nb::str describe_file(const char* description, nb::handle path) {
    return concat({nb::str(description), nb::str(" "), nb::repr(path)});
}

// The labels of the rows where the boolean series `mask` holds (a missing
// value counts as false), as the repr of a list of plain Python values in
// table order: "[0, 4]". Nothing when the mask holds nowhere.
inline std::optional<nb::str> offending_rows(nb::handle mask) {
    nb::handle bool_type = reinterpret_cast<PyObject*>(&PyBool_Type);
    nb::object flags = mask.attr("to_numpy")("dtype"_a = bool_type, "na_value"_a = false);
    if (!truthy(flags.attr("any")())) return std::nullopt;
    nb::object labels = nb::object(mask.attr("index"))[flags];
    return nb::borrow<nb::str>(nb::repr(labels.attr("tolist")()));
}

inline nb::object and_(nb::handle a, nb::handle b) {
    PyObject* r = PyNumber_And(a.ptr(), b.ptr());
    if (!r) throw nb::python_error();
    return nb::steal(r);
}

// A whole number beyond the range of a float is no quantity the model can
// hold: NaN, as the same digits read as text coerce. Other cells unchanged.
inline nb::object nan_if_beyond_float(nb::handle cell) {
    if (PyLong_Check(cell.ptr())) {
        double d = PyLong_AsDouble(cell.ptr());
        if (d == -1.0 && PyErr_Occurred()) {
            if (!PyErr_ExceptionMatches(PyExc_OverflowError)) throw nb::python_error();
            PyErr_Clear();
            return nb::float_(NAN);
        }
    }
    return nb::borrow(cell);
}

// pandas to_numeric with errors="coerce": a cell that is not a number
// becomes NaN, silently. A file may hold digits too many for a float, which
// the csv parser can hand over as an int that to_numeric refuses with
// OverflowError instead of coercing: those cells become NaN too (looked at
// one by one only on that rare path).
inline nb::object coerce_numeric(nb::handle column) {
    nb::object to_numeric = pandas_attr("to_numeric");
    try {
        return to_numeric(column, "errors"_a = "coerce");
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_OverflowError)) throw;
    }
    nb::object cells = column.attr("map")(nb::cpp_function(&nan_if_beyond_float));
    return to_numeric(cells, "errors"_a = "coerce");
}

inline void refuse_negative(nb::handle values, nb::handle column, nb::handle file,
                            nb::handle error_cls) {
    if (auto rows = offending_rows(values.attr("lt")(0)))
        raise_instance_of(error_cls,
                          concat({nb::str("column "), nb::repr(column),
                                  nb::str(" contains negative value(s) at row(s) "), *rows,
                                  nb::str(" in "), file,
                                  nb::str("; expected non-negative counts")}));
}

// Parsed dates must be calendar dates. Some pandas versions parse years
// before 1 (0000-01-01, -0001-01-01) that no calendar date can hold, where
// others refuse them while parsing; refuse them here alike, as the parser's
// ValueError. A column of mixed time zones may come back as plain objects
// rather than date-times: refused the same way.
inline void check_calendar_dates(nb::handle parsed) {
    nb::object years;
    try {
        years = parsed.attr("dt").attr("year");
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_AttributeError)) throw;
        raise_value_error("the cells did not all parse to date-times of one time zone");
    }
    nb::object before = years.attr("lt")(1);
    if (!truthy(before.attr("any")())) return;
    nb::handle bool_type = reinterpret_cast<PyObject*>(&PyBool_Type);
    nb::object flags = before.attr("to_numpy")("dtype"_a = bool_type, "na_value"_a = false);
    nb::object at = flags.attr("argmax")();
    nb::object year = years.attr("iloc")[at];
    raise_value_error("year " + py_str(year) + " is out of range, at position " + py_str(at));
}

// The `date` column parsed with pandas to_datetime and its default options.
// A value or type error of the parser becomes `error_cls` with the parser's
// text, then `closing`, and the parser's error as the cause.
inline nb::object parse_dates(nb::handle column, nb::handle file, nb::handle error_cls,
                              const char* closing) {
    try {
        nb::object parsed = pandas_attr("to_datetime")(column);
        check_calendar_dates(parsed);
        return parsed;
    } catch (nb::python_error& e) {
        if (!error_matches(e, {PyExc_ValueError, PyExc_TypeError})) throw;
        nb::object cause = nb::borrow(e.value());
        raise_instance_from(error_cls,
                            concat({nb::str("could not parse 'date' column in "), file,
                                    nb::str(" as calendar dates: "), nb::str(cause),
                                    nb::str(closing)}),
                            cause);
    }
}

// pd.factorize: a group code per cell (equal cells share one) and the
// distinct cells in order of appearance. With `missing_code`, missing cells
// get the code -1 and are not among the distinct cells; without it they form
// a group of their own.
struct Factorized {
    nb::object codes_array;
    std::vector<std::int64_t> codes;
    nb::object uniques;
};

inline Factorized factorize(nb::handle values, bool missing_code) {
    using Codes = nb::ndarray<const std::int64_t, nb::ndim<1>, nb::device::cpu, nb::ro>;
    nb::tuple pair = nb::borrow<nb::tuple>(
        pandas_attr("factorize")(values, "use_na_sentinel"_a = missing_code));
    Factorized out{nb::borrow(pair[0]), {}, nb::borrow(pair[1])};
    Codes codes;
    if (!nb::try_cast(out.codes_array, codes, false))
        raise_type_error("pandas.factorize did not return 64-bit codes");
    out.codes.resize(codes.shape(0));
    const std::int64_t* data = codes.data();
    const std::int64_t stride = codes.stride(0);
    for (std::size_t i = 0; i < out.codes.size(); ++i)
        out.codes[i] = data[static_cast<std::int64_t>(i) * stride];
    return out;
}

// `clean` applied to every cell of a text column, as column.map(clean)
// gives it (same values, dtype, labels and name), but called once per
// distinct cell: equal cells clean alike. `codes` groups the cleaned cells,
// -1 for the ones that cleaned to no value.
struct CleanedColumn {
    nb::object values;
    std::vector<std::int64_t> codes;
};

inline CleanedColumn clean_column(nb::handle column, nb::handle clean) {
    Factorized cells = factorize(column, false);
    nb::object cleaned = pandas_attr("Series")(cells.uniques).attr("map")(clean);
    CleanedColumn out;
    out.values = cleaned.attr("take")(cells.codes_array)
                     .attr("set_axis")(column.attr("index"))
                     .attr("rename")(column.attr("name"));
    Factorized groups = factorize(cleaned, true);
    out.codes.resize(cells.codes.size());
    for (std::size_t r = 0; r < out.codes.size(); ++r)
        out.codes[r] = groups.codes[static_cast<std::size_t>(cells.codes[r])];
    return out;
}

// parsed.dt.date (the calendar day of each date-time, NaT where missing),
// with a date object made once per distinct day instead of once per row.
// `groups` is factorize(parsed, true).
inline nb::object calendar_days(nb::handle parsed, const Factorized& groups) {
    nb::object accessor = parsed.attr("dt");  // refuses what is not date-time-like
    if (nb::len(groups.uniques) == 0) return accessor.attr("date");  // keeps its own dtype
    nb::object distinct =
        pandas_attr("Series")(groups.uniques).attr("dt").attr("date").attr("to_numpy")();
    nb::object spread = g_pandas_take.get()(distinct, groups.codes_array, "allow_fill"_a = true,
                             "fill_value"_a = pandas_attr("NaT"));
    return pandas_attr("Series")(spread, "index"_a = parsed.attr("index"),
                                 "name"_a = parsed.attr("name"), "dtype"_a = "object");
}

// The repr of the labels of the rows at `positions` (ascending), or nothing
// when there are none.
inline std::optional<nb::str> rows_at(nb::handle table, const std::vector<std::size_t>& positions) {
    if (positions.empty()) return std::nullopt;
    nb::list at;
    for (std::size_t p : positions) at.append(nb::int_(p));
    nb::object labels = nb::object(table.attr("index")).attr("take")(at);
    return nb::borrow<nb::str>(nb::repr(labels.attr("tolist")()));
}

// The rows whose key codes and date cell (as loaded, before parsing) occur
// on another row too, the first of each group included, as
// table.duplicated(keep=False) marks them (missing cells equal to each
// other). Equal cells parse to equal dates, so rows repeated over the cells
// are repeated over the parsed dates as well: the cells themselves are only
// compared when the parsed dates (`parsed_groups`) repeat.
inline std::optional<nb::str> repeated_dated_rows(nb::handle table,
                                                  std::vector<std::vector<std::int64_t>> keys,
                                                  const Factorized& parsed_groups,
                                                  nb::handle date_cells) {
    keys.push_back(parsed_groups.codes);
    if (core::rows_in_repeated_groups(keys).empty()) return std::nullopt;
    keys.back() = factorize(date_cells, true).codes;
    return rows_at(table, core::rows_in_repeated_groups(keys));
}

// A data object places every record by its `column` cell; refuse the rows
// where that cell has no value, naming them.
inline void refuse_missing(nb::handle column_values, const char* column, nb::handle context,
                           nb::handle error_cls, const char* why) {
    if (auto rows = offending_rows(column_values.attr("isna")()))
        raise_instance_of(error_cls, concat({context, nb::str(" has no "), nb::repr(nb::str(column)),
                                             nb::str(" value on row(s) "), *rows, nb::str("; "),
                                             nb::str(why)}));
}

// Reader classes hold no state: an instance pickles and copies as a call of
// its class with no arguments, followed by the instance dict a subclass may
// carry (restored by pickle's default, dict.update).
template <class T>
void add_stateless_pickling(nb::class_<T>& cls) {
    cls.def(
        "__reduce__",
        [](nb::handle self) {
            nb::object state = nb::none();
            if (nb::hasattr(self, "__dict__")) {
                nb::object d = self.attr("__dict__");
                if (nb::len(d) > 0) state = d;
            }
            return nb::make_tuple(self.type(), nb::tuple(), state);
        },
        nb::sig("def __reduce__(self) -> tuple[typing.Any, ...]"));
}

}  // namespace narvo::bind
