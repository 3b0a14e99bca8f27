// WeatherProvider: built once from a daily table (or a file, or either with a
// parameter set), read-only afterwards. Construction converts the table to
// arrays once and sums the days into weeks in the core; the calendar and
// thermal queries answer from the core's table.
#include "modules/weather/weather.hpp"

#include <nanobind/stl/shared_ptr.h>

#include <algorithm>
#include <memory>
#include <utility>

namespace narvo::weather {

using namespace nb::literals;

void refuse_unbuilt(nb::handle self) {
    if (!PyObject_TypeCheck(self.ptr(), reinterpret_cast<PyTypeObject*>(g_provider_type.ptr())))
        narvo::bind::raise_instance_of(
            PyExc_TypeError,
            narvo::bind::concat({nb::str("expected a WeatherProvider, got "),
                                 nb::str(nb::getattr(self.type(), "__qualname__"))}));
    narvo::bind::raise_instance_of(
        PyExc_TypeError,
        narvo::bind::concat({nb::str("this "), nb::str(nb::getattr(self.type(), "__qualname__")),
                             nb::str(" was never initialised (a subclass's __init__ must call "
                                     "super().__init__)")}));
}

nb::dict weekly_dict(const WeeklyTable& t) {
    nb::dict out;
    for (std::int64_t w = t.first_week; w <= t.last_week; ++w)
        if (t.has(w)) out[nb::int_(w)] = nb::float_(t.at(w));
    return out;
}

namespace {

// ------------------------------------------------------- construction ---

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

// ----------------------------------------------------------- pickling ---

nb::tuple reduce_provider(nb::handle self) {
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

// ------------------------------------------------------ class methods ---

nb::object general_entry(nb::handle params, const char* key) {
    return get_item(params.attr("general"), nb::str(key));
}

// Base temperature first, then the week length as int() makes it.
std::pair<nb::object, nb::object> params_calendar(nb::handle params) {
    nb::object base = general_entry(params, "base_temperature_c");
    nb::object weeks = nb::int_(general_entry(params, "week_length_days"));
    return {std::move(base), std::move(weeks)};
}

nb::object default_columns() {
    return new_column_map(nb::str("date"), nb::str("tmean"), nb::none());
}

void add_class_methods(nb::class_<WeatherProviderNative>& provider) {
    narvo::bind::add_classmethod(
        provider, "from_params",
        nb::cpp_function(
            [](nb::handle cls, nb::handle daily, nb::handle params, nb::handle columns,
               nb::handle run_start_date) {
                auto [base, weeks] = params_calendar(params);
                return cls(daily, columns, "base_temperature_c"_a = base,
                           "week_length_days"_a = weeks, "run_start_date"_a = run_start_date);
            },
            nb::name("from_params"), "cls"_a, "daily"_a.none(), "params"_a.none(),
            "columns"_a.none() = default_columns(), nb::kw_only(),
            "run_start_date"_a.none() = nb::none(),
            nb::sig("def from_params(cls, daily: pandas.DataFrame, params: typing.Any, "
                    "columns: ColumnMap = ColumnMap(), *, "
                    "run_start_date: datetime.date | None = None) -> typing.Self"),
            "A provider whose base temperature and week length come from\n"
            "``params.general`` (``base_temperature_c``, ``week_length_days``)."));

    // The reader's table carries the canonical column names.
    nb::object tmean_columns = new_column_map(nb::str("date"), nb::str("tmean"), nb::none());
    nb::object heat_columns = new_column_map(nb::str("date"), nb::none(), nb::str("heat_units"));
    narvo::bind::add_classmethod(
        provider, "from_file",
        nb::cpp_function(
            [tmean_columns, heat_columns](nb::handle cls, nb::handle path, nb::handle columns,
                                          nb::handle base_temperature_c,
                                          nb::handle week_length_days,
                                          nb::handle run_start_date) {
                // Imported now, not at load: the reader imports this module in turn.
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
            nb::name("from_file"), "cls"_a, "path"_a.none(), "columns"_a.none() = default_columns(),
            nb::kw_only(), "base_temperature_c"_a.none() = 14.0,
            "week_length_days"_a.none() = 7, "run_start_date"_a.none() = nb::none(),
            nb::sig("def from_file(cls, path: str | os.PathLike[str], "
                    "columns: ColumnMap = ColumnMap(), *, base_temperature_c: float = 14.0, "
                    "week_length_days: int = 7, run_start_date: datetime.date | None = None) "
                    "-> typing.Self"),
            "A provider built from a daily weather file (.csv, .xlsx or .xls)."));

    narvo::bind::add_classmethod(
        provider, "from_file_and_params",
        nb::cpp_function(
            [](nb::handle cls, nb::handle path, nb::handle params, nb::handle columns,
               nb::handle run_start_date) {
                auto [base, weeks] = params_calendar(params);
                return cls.attr("from_file")(path, columns, "base_temperature_c"_a = base,
                                             "week_length_days"_a = weeks,
                                             "run_start_date"_a = run_start_date);
            },
            nb::name("from_file_and_params"), "cls"_a, "path"_a.none(), "params"_a.none(),
            "columns"_a.none() = default_columns(), nb::kw_only(),
            "run_start_date"_a.none() = nb::none(),
            nb::sig("def from_file_and_params(cls, path: str | os.PathLike[str], "
                    "params: typing.Any, columns: ColumnMap = ColumnMap(), *, "
                    "run_start_date: datetime.date | None = None) -> typing.Self"),
            "``from_file`` with base temperature and week length from ``params.general``."));
}

// --------------------------------------------------------- properties ---

void add_properties(nb::class_<WeatherProviderNative>& provider) {
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
}

const char* kProviderDoc =
    "The model calendar and the weekly heat-unit totals of a daily weather table.\n\n"
    "Week ``w`` begins ``w * week_length_days`` days after ``run_start_date``. Each\n"
    "day adds its heat units (the mean temperature above ``base_temperature_c``,\n"
    "never below 0.0, or the ``heat_units`` column itself) to its week; a missing\n"
    "value adds nothing but its week is still covered. A provider never changes\n"
    "once built.";

}  // namespace

void add_provider(nb::module_& m) {
    auto provider = nb::class_<WeatherProviderNative>(m, "WeatherProvider", kProviderDoc);
    g_provider_type = provider;

    provider.def(
        "__init__",
        [](WeatherProviderNative* self, nb::handle daily, nb::handle columns,
           nb::object base_temperature_c, nb::object run_start_date, nb::handle week_length_days) {
            construct(self, daily, columns, std::move(base_temperature_c),
                      std::move(run_start_date), week_length_days);
        },
        "daily"_a.none(), "columns"_a.none() = default_columns(), nb::kw_only(),
        "base_temperature_c"_a.none() = 14.0, "run_start_date"_a.none() = nb::none(),
        "week_length_days"_a.none() = 7,
        nb::sig("def __init__(self, daily: pandas.DataFrame, columns: ColumnMap = ColumnMap(), *, "
                "base_temperature_c: float = 14.0, run_start_date: datetime.date | None = None, "
                "week_length_days: int = 7) -> None"),
        "Sum the daily table's heat units per model week.\n\n"
        "``run_start_date`` (the first day of week 0) defaults to the earliest date of\n"
        "the table.");
    add_class_methods(provider);
    add_properties(provider);

    add_calendar_queries(provider);
    add_thermal_queries(provider);

    provider.def("__reduce__", &reduce_provider,
                 nb::sig("def __reduce__(self) -> tuple[typing.Any, ...]"));
    provider.def(
        "__setstate__", &restore_provider, "state"_a,
        nb::sig("def __setstate__(self, state: tuple[typing.Any, ...], /) -> None"));
}

}  // namespace narvo::weather
