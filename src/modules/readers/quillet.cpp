// py_narvo_pop.readers.quillet: the farm's ribbon-tagged production records.
// Quillet.read validates a production file column by column; the records then
// become RibbonProductionData, one ProductionObservation per ribbon tag and
// model week.
//
// The data object keeps its records natively: the distinct tags in a tuple
// (with a dict from tag to position, so that tag lookups follow Python's
// equality), and a hash map from (tag position, week) to the six quantities.
// The observation records are made once, when the data is built: making a
// native instance costs more than the lookup itself.
#include "bind/dated_records.hpp"
#include "bind/py.hpp"
#include "bind/reader_checks.hpp"
#include "bind/record.hpp"
#include "core/week_records.hpp"

#include <array>
#include <cmath>
#include <cstdint>
#include <vector>

namespace nb = nanobind;
using namespace nb::literals;
using narvo::bind::concat;
using narvo::bind::FieldDecl;
using narvo::core::LastWinsMap;
using narvo::core::TagWeek;
using narvo::core::TagWeekHash;
using narvo::core::WeekSpan;

namespace {

constexpr std::array<const char*, 5> kRequiredColumns = {"tag", "date", "bagged", "cut",
                                                         "age_at_cut"};
constexpr std::array<const char*, 3> kOptionalColumns = {"field_losses", "rejected", "processed"};
// The order numeric columns are examined in, their order in the output table
// and the field order of ProductionObservation.
constexpr std::array<const char*, 6> kNumericColumns = {"bagged",       "cut",      "age_at_cut",
                                                        "field_losses", "rejected", "processed"};
constexpr std::size_t kCut = 1, kAgeAtCut = 2, kRejected = 4, kProcessed = 5;
// The quantities in the order of the weekly table: the counts that add up
// over tags, then the age that is averaged.
constexpr std::array<std::size_t, 6> kWeeklyOrder = {0, 1, 3, 4, 5, kAgeAtCut};

nb::list weekly_columns() {
    nb::list names;
    names.append("week_index");
    names.append("date");
    for (std::size_t i : kWeeklyOrder) names.append(kNumericColumns[i]);
    names.append("tags");
    return names;
}

// Cut, processed and rejected must balance to within this absolute amount.
constexpr double kBalanceTolerance = 1e-6;

narvo::bind::ReaderImports g;
nb::handle g_error;             // RibbonDataError
nb::handle g_feature_disabled;  // NoticeKind.FEATURE_DISABLED
nb::handle g_observation_type;

template <std::size_t N>
nb::tuple names_tuple(const std::array<const char*, N>& names) {
    nb::list out;
    for (const char* n : names) out.append(nb::str(n));
    return nb::tuple(out);
}

// ------------------------------------------------------------ reader ---

nb::object feature_notice(nb::handle column, nb::handle file) {
    return g.notice(g_feature_disabled, column,
                    concat({nb::repr(column), nb::str(" column not present in "), file,
                            nb::str("; this is a non-paper extension with no Halvik equation to "
                                    "estimate it from, so it will simply not be modeled (treated "
                                    "as absent, not zero).")}),
                    "Quillet");
}

nb::object read_production(nb::handle path) {
    nb::str file = nb::borrow<nb::str>(nb::repr(path));
    nb::object table = g.read_table(path, "text_columns"_a = nb::make_tuple("tag"));
    g.require_columns(table, nb::list(names_tuple(kRequiredColumns)),
                      "context"_a = narvo::bind::describe_file("production file", path),
                      "error_cls"_a = g_error);

    // Every later rule, the duplicate rule included, sees the cleaned tags
    // (through their group codes); the loaded table itself is left as read.
    narvo::bind::CleanedColumn tags =
        narvo::bind::clean_column(nb::object(table["tag"]), g.clean_text);

    nb::object notices = g.notice_log();
    for (const char* name : kOptionalColumns) {
        nb::str column(name);
        if (!narvo::bind::has_column(table, column))
            notices.attr("append")(feature_notice(column, file));
    }

    nb::object dates = narvo::bind::parse_dates(
        nb::object(table["date"]), file, g_error,
        "; expected a real date (e.g. ISO 8601 'YYYY-MM-DD'), not a farm-specific week label");

    // Judged on the cleaned tags and the date cells as loaded: one day written
    // two ways is two dates.
    narvo::bind::Factorized days = narvo::bind::factorize(dates, true);
    if (auto rows = narvo::bind::repeated_dated_rows(table, {std::move(tags.codes)}, days,
                                                     nb::object(table["date"])))
        narvo::bind::raise_instance_of(
            g_error, concat({nb::str("duplicate (tag, date) rows at index "), *rows,
                             nb::str(" in "), file,
                             nb::str("; expected at most one row per ribbon tag per date")}));

    std::array<nb::object, kNumericColumns.size()> values;
    std::array<bool, kNumericColumns.size()> present{};
    for (std::size_t i = 0; i < kNumericColumns.size(); ++i) {
        nb::str column(kNumericColumns[i]);
        present[i] = narvo::bind::has_column(table, column);
        if (!present[i]) {
            values[i] = narvo::bind::pandas_attr("Series")(NAN, "index"_a = table.attr("index"),
                                                           "dtype"_a = "float64");
            continue;
        }
        values[i] = narvo::bind::coerce_numeric(nb::object(table[column]));
        narvo::bind::refuse_negative(values[i], column, file, g_error);
    }

    // An empty cut counts as no cut in the harvest rules, and stays empty in
    // the output.
    nb::object cut_or_zero = values[kCut].attr("fillna")(0.0);
    if (auto rows = narvo::bind::offending_rows(
            narvo::bind::and_(cut_or_zero.attr("gt")(0), values[kAgeAtCut].attr("isna")())))
        narvo::bind::raise_instance_of(
            g_error, concat({nb::str("'age_at_cut' is missing on row(s) "), *rows,
                             nb::str(" where 'cut' > 0 in "), file,
                             nb::str(" -- an incomplete harvest record")}));

    if (present[kProcessed] && present[kRejected]) {
        nb::handle processed = values[kProcessed], rejected = values[kRejected];
        nb::object off_balance = cut_or_zero.attr("sub")(processed.attr("add")(rejected))
                                     .attr("abs")()
                                     .attr("gt")(kBalanceTolerance);
        nb::object both = narvo::bind::and_(processed.attr("notna")(), rejected.attr("notna")());
        if (auto rows = narvo::bind::offending_rows(narvo::bind::and_(both, off_balance)))
            narvo::bind::raise_instance_of(
                g_error, concat({nb::str("'cut' != 'processed' + 'rejected' on row(s) "), *rows,
                                 nb::str(" in "), file}));
    }

    nb::dict columns;
    columns["tag"] = tags.values;
    columns["date"] = narvo::bind::calendar_days(dates, days);
    for (std::size_t i = 0; i < kNumericColumns.size(); ++i) columns[kNumericColumns[i]] = values[i];
    return g.read_result(narvo::bind::pandas_attr("DataFrame")(columns), notices);
}

struct Quillet {};

// ------------------------------------------------------- observation ---

using Quantities = std::array<double, kNumericColumns.size()>;  // NaN stands for None

// An observation never holds NaN: a missing quantity is None.
struct ProductionObservation {
    Quantities q;

    static constexpr std::array<const char*, 6> fields = kNumericColumns;
    nb::object field(std::size_t i) const { return narvo::bind::none_or_float(q[i]); }
};

double quantity_arg(nb::handle value) {
    if (value.is_none()) return NAN;
    double d = PyFloat_AsDouble(value.ptr());
    if (d == -1.0 && PyErr_Occurred()) throw nb::python_error();
    return d;
}

nb::object new_observation(const Quantities& q) {
    nb::object obj = nb::inst_alloc(g_observation_type);
    new (nb::inst_ptr<ProductionObservation>(obj)) ProductionObservation{q};
    nb::inst_mark_ready(obj);
    return obj;
}

// --------------------------------------------------------------- data ---

struct RibbonProductionData {
    nb::tuple tags;   // distinct tags, ascending
    nb::dict tag_ids; // tag -> its position in `tags`
    LastWinsMap<TagWeek, Quantities, TagWeekHash> observations;
    std::vector<nb::object> records;  // the ProductionObservation of each entry
    WeekSpan span;

    RibbonProductionData(nb::tuple tags_, nb::dict tag_ids_,
                         LastWinsMap<TagWeek, Quantities, TagWeekHash> observations_, WeekSpan span_)
        : tags(std::move(tags_)),
          tag_ids(std::move(tag_ids_)),
          observations(std::move(observations_)),
          span(span_) {
        records.reserve(observations.size());
        for (const auto& entry : observations.entries())
            records.push_back(new_observation(entry.second));
    }

    nb::object observation(nb::handle tag, nb::handle week_index) const {
        std::optional<std::int64_t> week = narvo::bind::lookup_week(week_index);
        PyObject* id = PyDict_GetItemWithError(tag_ids.ptr(), tag.ptr());
        if (!id) {
            if (PyErr_Occurred()) throw nb::python_error();
            return nb::none();
        }
        if (!week) return nb::none();
        std::size_t at =
            observations.position({static_cast<std::uint32_t>(PyLong_AsUnsignedLong(id)), *week});
        return at == observations.npos ? nb::none() : records[at];
    }

    // One row per week with a record: the week's quantities summed over its
    // tags (age_at_cut averaged), and the number of tags recorded.
    nb::object weekly_table(nb::handle weather) const {
        constexpr std::size_t N = kNumericColumns.size();
        const auto weeks = narvo::core::sums_by_week<N>(observations.entries());
        std::vector<std::int64_t> week_index, tag_count;
        std::array<std::vector<double>, N> values;
        for (const auto& w : weeks) {
            week_index.push_back(w.week);
            tag_count.push_back(w.tags);
            for (std::size_t i = 0; i < N; ++i)
                values[i].push_back(i == kAgeAtCut ? w.mean(i) : w.total(i));
        }
        nb::dict columns;
        columns["date"] = narvo::bind::week_start_dates(week_index, weather);
        columns["week_index"] = narvo::bind::numpy_column(std::move(week_index));
        for (std::size_t i : kWeeklyOrder) columns[kNumericColumns[i]] = narvo::bind::numpy_column(std::move(values[i]));
        columns["tags"] = narvo::bind::numpy_column(std::move(tag_count));
        return narvo::bind::pandas_attr("DataFrame")(columns, "columns"_a = weekly_columns());
    }

    // _observations as a Python mapping, keys in the order first recorded.
    nb::dict observation_dict() const {
        nb::dict out;
        const auto& entries = observations.entries();
        for (std::size_t i = 0; i < entries.size(); ++i)
            out[nb::make_tuple(tags[entries[i].first.tag], entries[i].first.week)] = records[i];
        return out;
    }
};

const char* const kTableContext = "production table";
const char* const kNeedsTag = "every record needs a ribbon tag";
const char* const kNeedsDate = "every record needs a recording date to place it in a model week";

// Rows without a tag or a date cannot be placed in the (tag, week) map.
void refuse_unplaceable(nb::handle tag_column, nb::handle date_column, nb::handle context) {
    narvo::bind::refuse_missing(tag_column, "tag", context, g_error, kNeedsTag);
    narvo::bind::refuse_missing(date_column, "date", context, g_error, kNeedsDate);
}

nb::dict positions_of(nb::handle tags) {
    nb::dict ids;
    std::size_t i = 0;
    for (nb::handle t : tags) ids[t] = nb::int_(i++);
    return ids;
}

void build_production_data(RibbonProductionData* self, nb::handle data, nb::handle weather) {
    nb::object tag_column = data["tag"];
    nb::object date_column = data["date"];
    std::array<nb::object, kNumericColumns.size()> numeric;
    for (std::size_t i = 0; i < numeric.size(); ++i) numeric[i] = data[kNumericColumns[i]];
    refuse_unplaceable(tag_column, date_column, nb::str(kTableContext));

    nb::list distinct = nb::list(nb::object(narvo::bind::pandas_attr("unique")(tag_column)));
    if (PyList_Sort(distinct.ptr()) < 0) throw nb::python_error();
    nb::tuple tags(distinct);
    nb::dict tag_ids = positions_of(tags);

    nb::list tag_cells = narvo::bind::cells_of(tag_column);
    nb::list date_cells = narvo::bind::cells_of(date_column);
    std::vector<std::int64_t> weeks = narvo::bind::weeks_of_dates(weather, date_cells);
    std::array<std::vector<double>, kNumericColumns.size()> quantities;
    for (std::size_t i = 0; i < numeric.size(); ++i)
        quantities[i] = narvo::bind::column_floats(numeric[i]);

    const std::size_t n = weeks.size();
    if (nb::len(tag_cells) != n)
        narvo::bind::raise_value_error("the 'tag' and 'date' columns differ in length");
    for (auto& column : quantities)
        if (column.size() != n)
            narvo::bind::raise_value_error("the quantity columns differ in length from 'date'");

    LastWinsMap<TagWeek, Quantities, TagWeekHash> observations;
    observations.reserve(n);
    WeekSpan span;
    for (std::size_t r = 0; r < n; ++r) {
        PyObject* id = PyDict_GetItemWithError(tag_ids.ptr(), PyList_GET_ITEM(tag_cells.ptr(), r));
        if (!id) {
            if (PyErr_Occurred()) throw nb::python_error();
            narvo::bind::raise_instance_of(
                PyExc_ValueError,
                concat({nb::str("tag "), nb::repr(nb::handle(PyList_GET_ITEM(tag_cells.ptr(), r))),
                        nb::str(" is not among the distinct tags of the table")}));
        }
        Quantities q;
        for (std::size_t i = 0; i < q.size(); ++i) q[i] = quantities[i][r];
        observations.put({static_cast<std::uint32_t>(PyLong_AsUnsignedLong(id)), weeks[r]}, q);
        span.add(weeks[r]);
    }
    new (self) RibbonProductionData{std::move(tags), std::move(tag_ids), std::move(observations),
                                    span};
}

// Pickled state: (tags, tags of the entries, weeks of the entries,
// quantities of the entries, first week, last week).
nb::tuple production_state(const RibbonProductionData& d) {
    std::vector<std::uint32_t> tag_ids;
    std::vector<std::int64_t> weeks;
    std::vector<double> values;
    tag_ids.reserve(d.observations.size());
    weeks.reserve(d.observations.size());
    values.reserve(d.observations.size() * kNumericColumns.size());
    for (const auto& [key, q] : d.observations.entries()) {
        tag_ids.push_back(key.tag);
        weeks.push_back(key.week);
        values.insert(values.end(), q.begin(), q.end());
    }
    nb::tuple span = narvo::bind::pack_span(d.span);
    return nb::make_tuple(d.tags, narvo::bind::pack(tag_ids), narvo::bind::pack(weeks),
                          narvo::bind::pack(values), span[0], span[1]);
}

void restore_production(RibbonProductionData* self, nb::handle state) {
    nb::tuple s = nb::cast<nb::tuple>(state);
    if (s.size() != 6) narvo::bind::raise_value_error("pickled RibbonProductionData is malformed");
    nb::tuple tags = nb::cast<nb::tuple>(s[0]);
    auto tag_ids = narvo::bind::unpack<std::uint32_t>(s[1], "tags");
    auto weeks = narvo::bind::unpack<std::int64_t>(s[2], "weeks");
    auto values = narvo::bind::unpack<double>(s[3], "quantities");
    if (tag_ids.size() != weeks.size() || values.size() != weeks.size() * kNumericColumns.size())
        narvo::bind::raise_value_error("pickled RibbonProductionData is malformed");
    LastWinsMap<TagWeek, Quantities, TagWeekHash> observations;
    observations.reserve(weeks.size());
    for (std::size_t r = 0; r < weeks.size(); ++r) {
        if (tag_ids[r] >= tags.size())
            narvo::bind::raise_value_error("pickled RibbonProductionData is malformed");
        Quantities q;
        for (std::size_t i = 0; i < q.size(); ++i) q[i] = values[r * q.size() + i];
        observations.put({tag_ids[r], weeks[r]}, q);
    }
    WeekSpan span = narvo::bind::unpack_span(s[4], s[5]);
    nb::dict ids = positions_of(tags);
    new (self) RibbonProductionData{std::move(tags), std::move(ids), std::move(observations), span};
}

}  // namespace

NB_MODULE(quillet, m) {
    m.doc() =
        "The farm's ribbon-tagged production records: the reader Quillet, which validates\n"
        "a production file, and RibbonProductionData, its view by ribbon tag and model week.";

    narvo::bind::import_datetime_api();
    g = narvo::bind::ReaderImports::load();
    g_error = narvo::bind::keep(narvo::bind::import_attr("py_narvo_pop.exceptions", "RibbonDataError"));
    g_feature_disabled = narvo::bind::keep(nb::object(g.notice_kind.attr("FEATURE_DISABLED")));

    m.attr("_REQUIRED_COLUMNS") = names_tuple(kRequiredColumns);
    m.attr("_OPTIONAL_COLUMNS") = names_tuple(kOptionalColumns);
    m.attr("_NUMERIC_COLUMNS") = names_tuple(kNumericColumns);

    // ------------------------------------------------------------ Quillet
    auto quillet = nb::class_<Quillet>(
        m, "Quillet",
        "Reader of ribbon production files (.csv, .xlsx, .xls): one row per ribbon tag and\n"
        "recording date with the quantities bagged, cut, age_at_cut and, optionally,\n"
        "field_losses, rejected and processed.");
    quillet.def(nb::init<>());
    narvo::bind::add_stateless_pickling(quillet);
    quillet.def_static(
        "read", &read_production, "path"_a.none(),
        nb::sig("def read(path: str | os.PathLike[str]) -> "
                "py_narvo_pop.notices.ReadResult[pandas.DataFrame]"),
        "Load and validate a production file.\n\n"
        "Returns the table (tag, date, bagged, cut, age_at_cut, field_losses, rejected,\n"
        "processed; same row labels and order as the file) with a FEATURE_DISABLED notice\n"
        "for each optional column the file lacks. A data fault raises RibbonDataError\n"
        "naming the file, the column and the rows; the first failing rule raises.");

    // ------------------------------------------------ ProductionObservation
    auto observation = nb::class_<ProductionObservation>(
        m, "ProductionObservation",
        "What one ribbon tag recorded in one model week: six quantities, each a float or\n"
        "None where nothing was recorded (never NaN).");
    observation.def(
        "__init__",
        [](ProductionObservation* self, nb::handle bagged, nb::handle cut, nb::handle age_at_cut,
           nb::handle field_losses, nb::handle rejected, nb::handle processed) {
            Quantities q = {quantity_arg(bagged),       quantity_arg(cut),
                            quantity_arg(age_at_cut),   quantity_arg(field_losses),
                            quantity_arg(rejected),     quantity_arg(processed)};
            new (self) ProductionObservation{q};
        },
        "bagged"_a.none(), "cut"_a.none(), "age_at_cut"_a.none(), "field_losses"_a.none(),
        "rejected"_a.none(), "processed"_a.none(),
        nb::sig("def __init__(self, bagged: float | None, cut: float | None, "
                "age_at_cut: float | None, field_losses: float | None, "
                "rejected: float | None, processed: float | None) -> None"));
    narvo::bind::add_record_protocol(observation, {{{"bagged", "float | None"},
                                                    {"cut", "float | None"},
                                                    {"age_at_cut", "float | None"},
                                                    {"field_losses", "float | None"},
                                                    {"rejected", "float | None"},
                                                    {"processed", "float | None"}}});
    g_observation_type = observation;

    m.def("_optional_float", &narvo::bind::optional_float, "value"_a.none(),
          nb::sig("def _optional_float(value: object) -> float | None"),
          "None when pandas counts ``value`` missing, else ``float(value)``.");

    // ------------------------------------------------ RibbonProductionData
    auto data = nb::class_<RibbonProductionData>(
        m, "RibbonProductionData",
        "Production records by ribbon tag and model week.\n\n"
        "Built from the table of Quillet.read and a weather provider (any object with\n"
        "week_index_for_date). When one tag has several rows in a week, the later row in\n"
        "the table wins. Read-only once built.\n\n"
        "How the records meet the model: a bunch is bagged just after its plant has\n"
        "flowered, so ``bagged`` observes the plants moving from the pre-flowering to the\n"
        "post-flowering chain (the engine's weekly ``flowering``); a bunch is cut when its\n"
        "plant is harvested, so ``cut`` observes the plants leaving the post-flowering\n"
        "chain at harvest (``harvest``), and ``age_at_cut`` is the age of the bunches\n"
        "cut. weekly_table() gives the farm's sums per week, ready to set beside the\n"
        "engine's history by ``week_index``.");
    data.def(
        "__init__",
        [](RibbonProductionData* self, nb::handle data, nb::handle weather) {
            build_production_data(self, data, weather);
        },
        "data"_a.none(), "weather"_a.none(),
        nb::sig("def __init__(self, data: pandas.DataFrame, "
                "weather: py_narvo_pop.weather.WeatherProvider) -> None"),
        "Place every row of ``data`` in its model week.\n\n"
        "A row without a tag or without a date raises RibbonDataError naming the rows.");
    narvo::bind::add_classmethod(
        data, "from_file",
        nb::cpp_function(
            [](nb::handle cls, nb::handle path, nb::handle weather) {
                nb::object result = read_production(path);
                nb::object table = result.attr("data");
                refuse_unplaceable(nb::object(table["tag"]), nb::object(table["date"]),
                                   narvo::bind::describe_file("production file", path));
                return g.read_result(cls(table, weather), result.attr("notices"));
            },
            nb::name("from_file"), "cls"_a, "path"_a.none(), "weather"_a.none(),
            nb::sig("def from_file(cls, path: str | os.PathLike[str], "
                    "weather: py_narvo_pop.weather.WeatherProvider) -> "
                    "py_narvo_pop.notices.ReadResult[typing.Self]"),
            "Read ``path`` with Quillet.read and build the data from its table; the result\n"
            "carries the reader's notices."));
    data.def("tags", [](const RibbonProductionData& d) { return d.tags; },
             nb::sig("def tags(self) -> tuple[str, ...]"),
             "The distinct ribbon tags, in ascending order.");
    narvo::bind::add_week_span_members(
        data,
        "Whether ``week_index`` lies between the earliest and the latest week of any\n"
        "record, both included (whatever the tag).");
    data.def(
        "observation",
        [](const RibbonProductionData& d, nb::handle tag, nb::handle week_index) {
            return d.observation(tag, week_index);
        },
        "tag"_a.none(), "week_index"_a.none(),
        nb::sig("def observation(self, tag: str, week_index: int) -> ProductionObservation | None"),
        "What ``tag`` recorded in ``week_index``, or None when nothing was.");
    data.def(
        "weekly_table",
        [](nb::handle self, nb::handle weather) {
            return narvo::bind::built<RibbonProductionData>(self).weekly_table(weather);
        },
        "weather"_a.none() = nb::none(),
        nb::sig("def weekly_table(self, weather: py_narvo_pop.weather.WeatherProvider | None = "
                "None) -> pandas.DataFrame"),
        "The records summed over tags, one row per model week with at least one record,\n"
        "in week order.\n\n"
        "Columns: ``week_index`` (int64); ``date``, the first day of the week as\n"
        "``weather.calendar_date_for_week`` gives it (pass the provider that placed the\n"
        "records), NaT throughout when ``weather`` is None; ``bagged``, ``cut``,\n"
        "``field_losses``, ``rejected`` and ``processed`` (float64), each the sum over the\n"
        "week's tags of the values they recorded (a tag without a value is left out; NaN\n"
        "when no tag recorded the quantity); ``age_at_cut`` (float64), the mean over the\n"
        "tags with a value (NaN when none); ``tags`` (int64), the number of tags with an\n"
        "observation that week. Tags are added in ascending order. Each tag contributes\n"
        "its one observation of the week: the later row, when it had two.\n\n"
        "Against a model run, ``bagged`` compares with ``flowering`` and ``cut`` with\n"
        "``harvest`` of the engine's weekly table (see the class notes).");
    data.def_prop_ro("_tags", [](const RibbonProductionData& d) { return d.tags; },
                     nb::sig("def _tags(self, /) -> tuple[str, ...]"));
    data.def_prop_ro(
        "_observations", [](const RibbonProductionData& d) { return d.observation_dict(); },
        nb::sig("def _observations(self, /) -> dict[tuple[str, int], ProductionObservation]"),
        "A new dict of every observation by (tag, week).");
    data.def("__getstate__", &production_state,
             nb::sig("def __getstate__(self) -> tuple[typing.Any, ...]"));
    data.def("__setstate__", &restore_production,
             nb::sig("def __setstate__(self, state: tuple[typing.Any, ...], /) -> None"));
    narvo::bind::add_state_reduce(data);
    data.def("__repr__", [](nb::handle self) {
        const auto& d = narvo::bind::built<RibbonProductionData>(self);
        return concat({nb::str(nb::getattr(self.type(), "__qualname__")), nb::str("(tags="),
                       nb::str(nb::int_(d.tags.size())), nb::str(", observations="),
                       nb::str(nb::int_(d.observations.size())), nb::str(", weeks="),
                       nb::repr(narvo::bind::pack_span(d.span)), nb::str(")")});
    });
}
