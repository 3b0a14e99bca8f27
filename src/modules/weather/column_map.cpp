// ColumnMap: the immutable record that names the columns of a daily weather
// table. The weather file reader uses it to know which file columns to read,
// the provider to know which table columns to use.
#include "bind/record.hpp"
#include "modules/weather/weather.hpp"

namespace narvo::weather {

using namespace nb::literals;

namespace {

struct ColumnMap : narvo::bind::ObjectFields<3> {
    static constexpr std::array<const char*, 3> fields = {"date", "tmean", "heat_units"};
};

}  // namespace

// A ColumnMap made without a call through Python, for the default arguments.
nb::object new_column_map(nb::object date, nb::object tmean, nb::object heat_units) {
    nb::object obj = nb::inst_alloc(g_column_map_type);
    ColumnMap* c = nb::inst_ptr<ColumnMap>(obj);
    new (c) ColumnMap();
    c->values = {std::move(date), std::move(tmean), std::move(heat_units)};
    nb::inst_mark_ready(obj);
    return obj;
}

void add_column_map(nb::module_& m) {
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
    // Immutable, hashable.
    narvo::bind::add_record_protocol(
        colmap, {{{"date", "str"}, {"tmean", "str | None"}, {"heat_units", "str | None"}}});
    g_column_map_type = colmap;
}

}  // namespace narvo::weather
