// py_narvo_pop.readers.vimlo: the daily weather file, read into the canonical
// two-column table ("date", then "tmean" or "heat_units") that the weather
// provider sums into weeks.
//
// The weather module is imported only when a file is read (for ColumnMap), so
// that it can import this module in turn when a provider is built from a file.
#include "bind/py.hpp"
#include "bind/reader_checks.hpp"

namespace nb = nanobind;
using namespace nb::literals;
using narvo::bind::concat;
using narvo::bind::keep;

namespace {

struct WeatherFileReader {};

nb::handle g_read_table;
nb::handle g_require_columns;
nb::handle g_notice_log;
nb::handle g_read_result;
nb::handle g_weather_error;

nb::object get_item(nb::handle obj, nb::handle key) {
    PyObject* r = PyObject_GetItem(obj.ptr(), key.ptr());
    if (!r) throw nb::python_error();
    return nb::steal(r);
}

// Each cell's format is inferred on its own, so one file may mix date forms.
nb::object parse_dates(nb::handle column, nb::handle date_name, nb::handle path) {
    nb::object to_datetime = narvo::bind::pandas_attr("to_datetime");
    try {
        nb::object parsed = to_datetime(column, "format"_a = "mixed");
        narvo::bind::check_calendar_dates(parsed);
        return parsed;
    } catch (nb::python_error& err) {
        if (!narvo::bind::error_matches(err, {PyExc_ValueError, PyExc_TypeError})) throw;
        nb::object cause = nb::borrow(err.value());
        narvo::bind::raise_instance_from(
            g_weather_error,
            concat({nb::str("could not parse "), nb::repr(date_name), nb::str(" column in "),
                    nb::repr(path), nb::str(" as calendar dates: "), nb::str(cause)}),
            cause);
    }
}

nb::object read_weather_file(nb::handle path, nb::object columns) {
    if (columns.is_none()) columns = narvo::bind::import_attr("py_narvo_pop.weather", "ColumnMap")();
    nb::object heat_units = columns.attr("heat_units");
    const bool has_heat_units = !heat_units.is_none();
    nb::object value_name = has_heat_units ? heat_units : nb::object(columns.attr("tmean"));
    if (value_name.is_none())
        narvo::bind::raise_instance_of(
            g_weather_error, nb::str("columns must specify either tmean= or heat_units="));

    nb::object df = nb::borrow(g_read_table)(path);
    nb::object date_name = columns.attr("date");
    nb::list required;
    required.append(date_name);
    required.append(value_name);
    nb::borrow(g_require_columns)(df, required,
                                  "context"_a = concat({nb::str("weather file "), nb::repr(path)}),
                                  "error_cls"_a = g_weather_error);

    nb::object parsed = parse_dates(get_item(df, date_name), date_name, path);

    // Exactly the two columns, date first, under their canonical names; the
    // parsed dates replace the file's date cells.
    nb::object out = get_item(df, required);
    nb::list names;
    names.append(nb::str("date"));
    names.append(nb::str(has_heat_units ? "heat_units" : "tmean"));
    nb::setattr(out, "columns", names);
    out = out.attr("assign")("date"_a = parsed);
    return nb::borrow(g_read_result)(out, nb::borrow(g_notice_log)());
}

}  // namespace

NB_MODULE(vimlo, m) {
    m.doc() = "The daily weather file reader.";
    g_read_table = keep(narvo::bind::import_attr("py_narvo_pop.readers._common", "_read_table"));
    g_require_columns =
        keep(narvo::bind::import_attr("py_narvo_pop.readers._common", "_require_columns"));
    g_notice_log = keep(narvo::bind::import_attr("py_narvo_pop.notices", "NoticeLog"));
    g_read_result = keep(narvo::bind::import_attr("py_narvo_pop.notices", "ReadResult"));
    g_weather_error = keep(narvo::bind::import_attr("py_narvo_pop.exceptions", "WeatherError"));

    auto cls = nb::class_<WeatherFileReader>(
        m, "WeatherFileReader",
        "Reads a daily weather file (.csv, .xlsx or .xls) into a table of parsed dates\n"
        "and one value column. Every fault is a WeatherError; it raises no notices.")
        .def(nb::init<>());
    narvo::bind::add_stateless_pickling(cls);
    cls.def_static(
            "read", &read_weather_file, "path"_a.none(), "columns"_a.none() = nb::none(),
            nb::sig("def read(path: str | os.PathLike[str], columns: py_narvo_pop.weather.ColumnMap "
                    "| None = None) -> py_narvo_pop.notices.ReadResult[pandas.DataFrame]"),
            "Read the date column and the value column of a weather file.\n\n"
            "The value column is ``columns.heat_units`` when set, else ``columns.tmean``;\n"
            "``columns`` None means ColumnMap(). Dates are parsed cell by cell (formats may\n"
            "be mixed; an empty cell gives a missing date). The result's data has exactly\n"
            "the columns \"date\" and \"tmean\" or \"heat_units\", every row of the file in\n"
            "file order; its notices are always empty.");
}
