// Seeding a chain from an inventory table: each row's cohort gets the thermal
// state it would have reached had it been stepped week by week since birth.
#include "bind/weather_native.hpp"
#include "core/replay.hpp"
#include "modules/cohorts/chain.hpp"

#include <cmath>
#include <optional>
#include <string>
#include <unordered_set>

namespace narvo::cohorts {

using narvo::bind::as_double;
using narvo::bind::as_index;
using narvo::bind::item;

namespace {

// Weekly increments of a provider: from its native table when it is exactly
// the package's own provider, else through its thermal_increment method.
class Increments {
public:
    explicit Increments(nb::handle weather)
        : weather_(weather), table_(narvo::bind::native_weekly_table(weather)) {}

    const core::WeeklyTable* table() const { return table_; }

    std::int64_t min_week_index() const {
        if (table_) return table_->first_week;
        return as_index(nb::getattr(weather_, g.names.min_week_index));
    }

    double operator()(std::int64_t week) const {
        if (table_) {
            if (!table_->has(week)) raise_outside(week);
            return table_->at(week);
        }
        if (!method_.is_valid()) method_ = nb::getattr(weather_, g.names.thermal_increment);
        return as_double(method_(week));
    }

private:
    [[noreturn]] void raise_outside(std::int64_t week) const {
        std::string message = "week_index " + std::to_string(week) +
                              " is outside the weather data's coverage (" +
                              std::to_string(table_->first_week) + ".." +
                              std::to_string(table_->last_week) + ")";
        narvo::bind::raise(g_weather_error.get(), message);
    }

    nb::handle weather_;
    const core::WeeklyTable* table_;
    mutable nb::object method_;
};

// The thresholds are read once the first week's increment is known, as the
// one-week step reads them after its increment was looked up.
struct LazyThresholds {
    nb::handle params;
    KindTest kind;
    bool read = false;
    core::Thresholds t;
    const core::Thresholds& get() {
        if (!read) {
            t = read_thresholds(params, kind);
            read = true;
        }
        return t;
    }
};

CohortState replay(std::int64_t birth, double population, std::int64_t target,
                   const Increments& increments, LazyThresholds& thresholds) {
    CohortState s{birth, population};
    core::ThermalState t;
    if (target > birth) {
        if (const core::WeeklyTable* table = increments.table()) {
            // Native provider: check coverage once, then step straight through it.
            std::int64_t first = birth + 1;
            std::optional<std::int64_t> missing = core::first_uncovered_week(*table, first, target);
            if (missing == first) increments(first);  // raises the provider's WeatherError
            const core::Thresholds& th = thresholds.get();
            t = core::replay_weeks(t, *table, first, missing ? *missing - 1 : target, th);
            if (missing) increments(*missing);
        } else {
            for (std::int64_t w = birth + 1;; ++w) {
                double inc = increments(w);
                t = core::advance(t, inc, thresholds.get());
                if (w == target) break;
            }
        }
    }
    s.thermal_age = t.thermal_age;
    s.weeks_since_flowering_threshold = t.wf;
    s.weeks_since_sucker_threshold = t.ws;
    s.weeks_since_harvest_threshold = t.wh;
    return s;
}

[[noreturn]] void raise_seed_error(const std::string& message) {
    narvo::bind::raise(g.cohort_chain_error, message);
}

// A seed row's age: its cell as an integer (a fractional number truncates).
// A boolean is not a number of weeks, though Python would count True as 1.
nb::object seed_age(nb::handle cell, nb::handle kind) {
    if (nb::isinstance<nb::bool_>(cell))
        raise_seed_error("seed row with age_weeks=" + narvo::bind::py_repr(cell) + " for chain=" +
                         kind_text(kind) + " has a boolean age; expected a whole number of weeks");
    return nb::int_(cell);
}

// The birth week current_week_index - age, which must be a week index.
std::int64_t seed_birth(std::int64_t current_week_index, nb::handle age, nb::handle kind) {
    nb::object b = nb::int_(current_week_index) - age;
    std::int64_t birth = 0;
    if (nb::try_cast(b, birth)) return birth;
    narvo::bind::raise(PyExc_OverflowError,
                       "seed row with age_weeks=" + narvo::bind::py_str(age) + " for chain=" +
                           kind_text(kind) + " implies birth_week_index=" +
                           narvo::bind::py_str(b) + ", outside the range of week indices");
}

// A seed table's column as a list of cells, in table order.
nb::object column_cells(nb::handle rows, nb::handle columns, const char* field) {
    return item(rows, nb::getattr(columns, field)).attr("tolist")();
}

std::string uncovered_message(const std::string& age, nb::handle age_value, nb::handle kind,
                              std::int64_t birth, std::int64_t first,
                              std::int64_t covered_from) {
    // The smallest start week whose first replay week would be covered.
    nb::object start = age_value + nb::int_(covered_from) - nb::int_(1);
    return "seed row with age_weeks=" + age + " for chain=" + kind_text(kind) +
           " implies birth_week_index=" + std::to_string(birth) +
           "; reconstructing its thermal history needs weather data back to week_index " +
           std::to_string(first) + ", before the weather data's coverage starts at week_index " +
           std::to_string(covered_from) + ". Raise start_week_index to at least " +
           narvo::bind::py_str(start) +
           ", or construct WeatherProvider with weather data and an explicit run_start_date "
           "extending back far enough.";
}

nb::object replay_cohort_history(nb::handle chain, std::int64_t birth_week_index,
                                 double population, std::int64_t target_week_index,
                                 nb::handle weather, nb::handle params) {
    Increments increments(weather);
    LazyThresholds thresholds{params, classify(chain), false, {}};
    return new_cohort(chain, replay(birth_week_index, population, target_week_index, increments,
                                    thresholds));
}

}  // namespace

nb::object from_dataframe(nb::handle cls, nb::handle rows, nb::handle kind,
                          std::int64_t current_week_index, nb::handle weather, nb::handle params,
                          nb::handle columns) {
    nb::object chain_obj = cls(kind, params);
    if (!nb::isinstance<CohortChain>(chain_obj))
        narvo::bind::raise_type_error("from_dataframe needs a CohortChain class, got " +
                                      narvo::bind::py_repr(cls));
    chain_of(chain_obj);  // refuses a chain its class never initialised
    std::size_t n = nb::len(rows);
    // The seeded cohorts join the chain only once every row has been read.
    std::vector<nb::object> seeded;
    if (n > 0) {
        nb::object populations = column_cells(rows, columns, "population");
        nb::object ages = column_cells(rows, columns, "age_weeks");
        Increments increments(weather);
        LazyThresholds thresholds{params, classify(kind), false, {}};
        std::unordered_set<std::int64_t> births;
        // The last replay week; none below the smallest week index, when no
        // row can have a week to replay.
        std::optional<std::int64_t> target = core::checked_sub(current_week_index, 1);
        for (std::size_t i = 0; i < n; ++i) {
            double p = narvo::bind::as_float(populations[i]);
            nb::object age = seed_age(ages[i], kind);
            std::int64_t b = seed_birth(current_week_index, age, kind);
            // The age as the messages show it, built only when one is raised.
            auto a = [&age] { return narvo::bind::py_str(age); };
            if (std::isnan(p))
                raise_seed_error("seed row with age_weeks=" + a() + " for chain=" + kind_text(kind) +
                                 " has population nan; expected a number of plants");
            if (!births.insert(b).second)
                raise_seed_error("duplicate cohort at birth_week_index=" + std::to_string(b) +
                                 " (age_weeks=" + a() + ") for chain=" + kind_text(kind) +
                                 " in this inventory -- pre-aggregate rows that imply the same "
                                 "(chain, birth_week_index) before constructing NarvoPopEngine");
            if (target && b < *target) {
                std::int64_t first = b + 1;
                std::int64_t covered_from = increments.min_week_index();
                if (first < covered_from)
                    raise_seed_error(uncovered_message(a(), age, kind, b, first, covered_from));
            }
            // A negative population would break the chain's invariant: seed it as empty.
            seeded.push_back(new_cohort(
                kind, replay(b, p < 0.0 ? 0.0 : p, target ? *target : b, increments, thresholds)));
        }
    }
    CohortChain& chain = chain_of(chain_obj);
    for (nb::object& c : seeded) chain.append(std::move(c));
    return chain_obj;
}

void add_seeding_functions(nb::module_& m) {
    m.def(
        "_replay_cohort_history", &replay_cohort_history, "chain"_a.none(), "birth_week_index"_a,
        "population"_a, "target_week_index"_a, "weather"_a.none(), "params"_a.none(),
        nb::sig("def _replay_cohort_history(chain: ChainKind, birth_week_index: int, "
                "population: float, target_week_index: int, weather: typing.Any, "
                "params: typing.Any) -> Cohort"),
        "A new cohort born in ``birth_week_index`` whose thermal state has been advanced\n"
        "through every week from the one after its birth to ``target_week_index``, with\n"
        "the weather's weekly increments; its population is taken as given.");
    m.def(
        "_advance_thermal_state",
        [](nb::handle chain, double thermal_age, std::int64_t wf, std::int64_t ws,
           std::int64_t wh, double increment, nb::handle params) {
            core::ThermalState t = core::advance({thermal_age, wf, ws, wh}, increment,
                                                 read_thresholds(params, classify(chain)));
            return nb::make_tuple(t.thermal_age, t.wf, t.ws, t.wh);
        },
        "chain"_a.none(), "thermal_age"_a, "wf"_a, "ws"_a, "wh"_a, "increment"_a,
        "params"_a.none(),
        nb::sig("def _advance_thermal_state(chain: ChainKind, thermal_age: float, wf: int, "
                "ws: int, wh: int, increment: float, params: typing.Any) "
                "-> tuple[float, int, int, int]"),
        "One week of a cohort's thermal state: (thermal age, wf, ws, wh) after adding\n"
        "``increment`` degree-days. Each counter the chain keeps is 0 below its threshold\n"
        "and counts the weeks at or above it.");
}

}  // namespace narvo::cohorts
