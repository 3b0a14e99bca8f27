// py_narvo_pop.readers.braxen: the farm-wide sucker-selection records.
// Braxen.read validates a selection file column by column; the records then
// become SuckerSelectionData, one total of selected suckers per model week.
#include "bind/dated_records.hpp"
#include "bind/py.hpp"
#include "bind/reader_checks.hpp"
#include "core/week_records.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <vector>

namespace nb = nanobind;
using namespace nb::literals;
using narvo::bind::concat;
using narvo::core::LastWinsMap;
using narvo::core::WeekSpan;

namespace {

constexpr std::array<const char*, 3> kSelectionColumns = {"date", "parous_count",
                                                          "nulliparous_count"};

narvo::bind::ReaderImports g;
nb::handle g_error;  // SuckerSelectionError

// ------------------------------------------------------------ reader ---

nb::object read_selection(nb::handle path) {
    nb::str file = nb::borrow<nb::str>(nb::repr(path));
    nb::object table = g.read_table(path);
    nb::list required;
    for (const char* name : kSelectionColumns) required.append(nb::str(name));
    g.require_columns(table, required,
                      "context"_a = narvo::bind::describe_file("sucker-selection file", path),
                      "error_cls"_a = g_error);

    nb::object dates = narvo::bind::parse_dates(nb::object(table["date"]), file, g_error, "");

    // Judged on the date cells as loaded: one day written two ways is two dates.
    narvo::bind::Factorized days = narvo::bind::factorize(dates, true);
    if (auto rows = narvo::bind::repeated_dated_rows(table, {}, days, nb::object(table["date"])))
        narvo::bind::raise_instance_of(
            g_error, concat({nb::str("duplicate 'date' rows at index "), *rows, nb::str(" in "),
                             file,
                             nb::str("; expected at most one farm-wide record per date")}));

    // Both counts are coerced before either is tested.
    nb::str parous_name("parous_count"), nulliparous_name("nulliparous_count");
    nb::object parous = narvo::bind::coerce_numeric(nb::object(table[parous_name]));
    nb::object nulliparous = narvo::bind::coerce_numeric(nb::object(table[nulliparous_name]));
    narvo::bind::refuse_negative(parous, parous_name, file, g_error);
    narvo::bind::refuse_negative(nulliparous, nulliparous_name, file, g_error);

    nb::dict columns;
    columns["date"] = narvo::bind::calendar_days(dates, days);
    columns["parous"] = parous;
    columns["nulliparous"] = nulliparous;
    // A missing count counts as 0; the total is missing only when both are.
    columns["total"] = parous.attr("add")(nulliparous, "fill_value"_a = 0.0);
    return g.read_result(narvo::bind::pandas_attr("DataFrame")(columns), g.notice_log());
}

struct Braxen {};

// --------------------------------------------------------------- data ---

// The distinct weeks of `weeks`, ascending.
std::vector<std::int64_t> distinct_weeks(std::vector<std::int64_t> weeks) {
    std::sort(weeks.begin(), weeks.end());
    weeks.erase(std::unique(weeks.begin(), weeks.end()), weeks.end());
    return weeks;
}

struct SuckerSelectionData {
    LastWinsMap<std::int64_t, double> totals;
    std::vector<std::int64_t> record_weeks;  // every week with a row, ascending, each once
    WeekSpan span;

    // One row per week with a row in the table; NaN where none of the week's
    // rows had a total.
    nb::object weekly_table(nb::handle weather) const {
        std::vector<double> week_totals;
        week_totals.reserve(record_weeks.size());
        for (std::int64_t w : record_weeks) {
            const double* t = totals.find(w);
            week_totals.push_back(t ? *t : NAN);
        }
        nb::dict columns;
        columns["week_index"] = narvo::bind::numpy_column(record_weeks);
        columns["date"] = narvo::bind::week_start_dates(record_weeks, weather);
        columns["total"] = narvo::bind::numpy_column(std::move(week_totals));
        return narvo::bind::pandas_attr("DataFrame")(columns);
    }

    nb::object total(nb::handle week_index) const {
        std::optional<std::int64_t> week = narvo::bind::lookup_week(week_index);
        if (!week) return nb::none();
        const double* t = totals.find(*week);
        return t ? nb::object(nb::float_(*t)) : nb::none();
    }

    nb::dict totals_dict() const {
        nb::dict out;
        for (const auto& [week, total] : totals.entries()) out[nb::int_(week)] = nb::float_(total);
        return out;
    }
};

const char* const kNeedsDate = "every record needs a recording date to place it in a model week";

void refuse_undated(nb::handle date_column, nb::handle context) {
    narvo::bind::refuse_missing(date_column, "date", context, g_error, kNeedsDate);
}

void build_selection_data(SuckerSelectionData* self, nb::handle data, nb::handle weather) {
    nb::object date_column = data["date"];
    nb::object total_column = data["total"];
    refuse_undated(date_column, nb::str("sucker-selection table"));

    std::vector<std::int64_t> weeks =
        narvo::bind::weeks_of_dates(weather, narvo::bind::cells_of(date_column));
    std::vector<double> totals = narvo::bind::column_floats(total_column);
    if (totals.size() != weeks.size())
        narvo::bind::raise_value_error("the 'total' and 'date' columns differ in length");

    LastWinsMap<std::int64_t, double> by_week;
    by_week.reserve(weeks.size());
    WeekSpan span;
    for (std::size_t r = 0; r < weeks.size(); ++r) {
        // Every row counts for coverage; only rows with a total are stored, so
        // a later row without one leaves the week's earlier total in place.
        span.add(weeks[r]);
        if (!std::isnan(totals[r])) by_week.put(weeks[r], totals[r]);
    }
    new (self) SuckerSelectionData{std::move(by_week), distinct_weeks(std::move(weeks)), span};
}

// Pickled state: (weeks, totals, first week, last week, weeks with a row).
// A state without its last item (pickled before the weeks with a row were
// kept) takes them to be the weeks with a total.
nb::tuple selection_state(const SuckerSelectionData& d) {
    std::vector<std::int64_t> weeks;
    std::vector<double> values;
    for (const auto& [week, total] : d.totals.entries()) {
        weeks.push_back(week);
        values.push_back(total);
    }
    nb::tuple span = narvo::bind::pack_span(d.span);
    return nb::make_tuple(narvo::bind::pack(weeks), narvo::bind::pack(values), span[0], span[1],
                          narvo::bind::pack(d.record_weeks));
}

void restore_selection(SuckerSelectionData* self, nb::handle state) {
    nb::tuple s = nb::cast<nb::tuple>(state);
    if (s.size() != 4 && s.size() != 5)
        narvo::bind::raise_value_error("pickled SuckerSelectionData is malformed");
    auto weeks = narvo::bind::unpack<std::int64_t>(s[0], "weeks");
    auto values = narvo::bind::unpack<double>(s[1], "totals");
    if (weeks.size() != values.size())
        narvo::bind::raise_value_error("pickled SuckerSelectionData is malformed");
    std::vector<std::int64_t> record_weeks =
        s.size() == 5 ? narvo::bind::unpack<std::int64_t>(s[4], "weeks with a row") : weeks;
    LastWinsMap<std::int64_t, double> by_week;
    by_week.reserve(weeks.size());
    for (std::size_t r = 0; r < weeks.size(); ++r) by_week.put(weeks[r], values[r]);
    WeekSpan span = narvo::bind::unpack_span(s[2], s[3]);
    new (self) SuckerSelectionData{std::move(by_week), distinct_weeks(std::move(record_weeks)), span};
}

}  // namespace

NB_MODULE(braxen, m) {
    m.doc() =
        "The farm-wide sucker-selection records: the reader Braxen, which validates a\n"
        "selection file, and SuckerSelectionData, its totals per model week.";

    narvo::bind::import_datetime_api();
    g = narvo::bind::ReaderImports::load();
    g_error = narvo::bind::keep(
        narvo::bind::import_attr("py_narvo_pop.exceptions", "SuckerSelectionError"));

    nb::list columns;
    for (const char* name : kSelectionColumns) columns.append(nb::str(name));
    m.attr("_SELECTION_COLUMNS") = nb::tuple(columns);

    // ------------------------------------------------------------- Braxen
    auto braxen = nb::class_<Braxen>(
        m, "Braxen",
        "Reader of sucker-selection files (.csv, .xlsx, .xls): one row per recording date\n"
        "with the counts parous_count and nulliparous_count.");
    braxen.def(nb::init<>());
    narvo::bind::add_stateless_pickling(braxen);
    braxen.def_static(
        "read", &read_selection, "path"_a.none(),
        nb::sig("def read(path: str | os.PathLike[str]) -> "
                "py_narvo_pop.notices.ReadResult[pandas.DataFrame]"),
        "Load and validate a sucker-selection file.\n\n"
        "Returns the table (date, parous, nulliparous, total; same row labels and order\n"
        "as the file) with an empty notice log. A data fault raises SuckerSelectionError\n"
        "naming the file, the column and the rows; the first failing rule raises.");

    // ------------------------------------------------- SuckerSelectionData
    auto data = nb::class_<SuckerSelectionData>(
        m, "SuckerSelectionData",
        "Farm-wide totals of selected suckers per model week.\n\n"
        "Built from the table of Braxen.read and a weather provider (any object with\n"
        "week_index_for_date). When several dates fall in one week, the later row with a\n"
        "total wins. Read-only once built.\n\n"
        "How the records meet the model: the suckers selected in a week are the young\n"
        "plants that enter the pre-flowering chain that week (the engine's weekly\n"
        "``suckers``). weekly_table() lists the totals per week, ready to set beside the\n"
        "engine's history by ``week_index``.");
    data.def(
        "__init__",
        [](SuckerSelectionData* self, nb::handle data, nb::handle weather) {
            build_selection_data(self, data, weather);
        },
        "data"_a.none(), "weather"_a.none(),
        nb::sig("def __init__(self, data: pandas.DataFrame, "
                "weather: py_narvo_pop.weather.WeatherProvider) -> None"),
        "Place every row of ``data`` in its model week.\n\n"
        "A row without a date raises SuckerSelectionError naming the rows.");
    narvo::bind::add_classmethod(
        data, "from_file",
        nb::cpp_function(
            [](nb::handle cls, nb::handle path, nb::handle weather) {
                nb::object result = read_selection(path);
                nb::object table = result.attr("data");
                refuse_undated(nb::object(table["date"]),
                               narvo::bind::describe_file("sucker-selection file", path));
                return g.read_result(cls(table, weather), result.attr("notices"));
            },
            nb::name("from_file"), "cls"_a, "path"_a.none(), "weather"_a.none(),
            nb::sig("def from_file(cls, path: str | os.PathLike[str], "
                    "weather: py_narvo_pop.weather.WeatherProvider) -> "
                    "py_narvo_pop.notices.ReadResult[typing.Self]"),
            "Read ``path`` with Braxen.read and build the data from its table; the result\n"
            "carries the reader's (always empty) notice log."));
    narvo::bind::add_week_span_members(
        data,
        "Whether ``week_index`` lies between the earliest and the latest week of any\n"
        "record, both included.");
    data.def(
        "total",
        [](const SuckerSelectionData& d, nb::handle week_index) { return d.total(week_index); },
        "week_index"_a.none(), nb::sig("def total(self, week_index: int) -> float | None"),
        "The total recorded for ``week_index``, or None when no row of that week has one.");
    data.def(
        "weekly_table",
        [](nb::handle self, nb::handle weather) {
            return narvo::bind::built<SuckerSelectionData>(self).weekly_table(weather);
        },
        "weather"_a.none() = nb::none(),
        nb::sig("def weekly_table(self, weather: py_narvo_pop.weather.WeatherProvider | None = "
                "None) -> pandas.DataFrame"),
        "The totals, one row per model week with at least one record, in week order.\n\n"
        "Columns: ``week_index`` (int64); ``date``, the first day of the week as\n"
        "``weather.calendar_date_for_week`` gives it (pass the provider that placed the\n"
        "records), NaT throughout when ``weather`` is None; ``total`` (float64), the\n"
        "week's total as total() gives it, NaN when none of the week's rows had one.");
    data.def_prop_ro("_totals", [](const SuckerSelectionData& d) { return d.totals_dict(); },
                     nb::sig("def _totals(self, /) -> dict[int, float]"),
                     "A new dict of the totals by week.");
    data.def("__getstate__", &selection_state,
             nb::sig("def __getstate__(self) -> tuple[typing.Any, ...]"));
    data.def("__setstate__", &restore_selection,
             nb::sig("def __setstate__(self, state: tuple[typing.Any, ...], /) -> None"));
    narvo::bind::add_state_reduce(data);
    data.def("__repr__", [](nb::handle self) {
        const auto& d = narvo::bind::built<SuckerSelectionData>(self);
        return concat({nb::str(nb::getattr(self.type(), "__qualname__")), nb::str("(totals="),
                       nb::str(nb::int_(d.totals.size())), nb::str(", weeks="),
                       nb::repr(narvo::bind::pack_span(d.span)), nb::str(")")});
    });
}
