// py_narvo_pop._farm: the farm kernel for callers that run many farms (the
// engine's fast path, calibration, ensembles). A parameter set is resolved
// once per call into typed parameters, the chains' cohorts travel as columns
// of numpy arrays, and the weekly loop runs with the GIL released.
#include "bind/numbers.hpp"
#include "bind/py.hpp"
#include "core/farm.hpp"

#include <nanobind/ndarray.h>
#include <nanobind/stl/string.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace nb = nanobind;
using namespace nb::literals;
using narvo::bind::as_double;
using narvo::bind::item;
using narvo::core::ChainSide;
using narvo::core::CohortState;
using narvo::core::Farm;
using narvo::core::FarmColumns;
using narvo::core::FarmParams;

namespace {

narvo::bind::LazyAttr g_np_asarray{"numpy", "asarray"};
narvo::bind::LazyAttr g_np_ascontiguousarray{"numpy", "ascontiguousarray"};
narvo::bind::LazyAttr g_cohort_type{"py_narvo_pop.cohorts", "Cohort"};
narvo::bind::LazyAttr g_chain_error{"py_narvo_pop.exceptions", "CohortChainError"};
narvo::bind::LazyAttr g_weather_error{"py_narvo_pop.exceptions", "WeatherError"};

constexpr const char* kStateKeys[6] = {"birth_week_index",
                                       "population",
                                       "thermal_age",
                                       "weeks_since_flowering_threshold",
                                       "weeks_since_sucker_threshold",
                                       "weeks_since_harvest_threshold"};

// ------------------------------------------------------------ parameters ---

double number(nb::handle group, const char* key) { return as_double(item(group, key)); }

narvo::core::CurveParams curve(nb::handle group) {
    return {number(group, "amplitude"), number(group, "peak_weeks"), number(group, "spread")};
}

// The parameters a week's step reads, in the order the chains read them
// (rates of the pre-flowering chain, then the post-flowering chain, then the
// pruning limits), so a missing key fails with the set's own lookup error.
FarmParams resolve_params(nb::handle params) {
    nb::object sucker = nb::getattr(params, "sucker_selection");
    nb::object mortality = nb::getattr(params, "mortality_replacement");
    nb::object flowering = nb::getattr(params, "flowering");
    nb::object general = nb::getattr(params, "general");
    FarmParams p;
    nb::object basis = item(general, "rate_basis");
    int eq = PyObject_RichCompareBool(basis.ptr(), nb::str("cohort").ptr(), Py_EQ);
    if (eq < 0) throw nb::python_error();
    p.cohort_basis = eq == 1;
    if (p.cohort_basis) {
        p.flowering = curve(flowering);
        p.sucker = curve(sucker);
    } else {
        p.sucker = curve(sucker);
        p.flowering = curve(flowering);
    }
    p.flowering_threshold = number(flowering, "threshold_dd");
    p.sucker_threshold = number(sucker, "threshold_dd");
    p.death_rate_vegetative = number(mortality, "death_rate_vegetative");
    nb::object harvest = nb::getattr(params, "harvest");
    p.harvest_threshold = number(harvest, "threshold_dd");
    p.hazard_weeks = number(harvest, "hazard_weeks");
    p.death_rate_reproductive = number(mortality, "death_rate_reproductive");
    p.max_age_weeks_vegetative = number(general, "max_age_weeks_vegetative");
    p.max_age_weeks_reproductive = number(general, "max_age_weeks_reproductive");
    p.population_epsilon = number(general, "population_epsilon");
    if (auto fault = narvo::core::farm_params_fault(p))
        narvo::bind::raise_value_error("the farm kernel cannot run these parameters: " + *fault);
    return p;
}

// --------------------------------------------------------------- arrays ---

template <class T>
using In1 = nb::ndarray<const T, nb::ndim<1>, nb::c_contig, nb::device::cpu>;
template <class T>
using In2 = nb::ndarray<const T, nb::ndim<2>, nb::c_contig, nb::device::cpu>;

// `obj` as a numpy array, checked to hold numbers of the right kind: whole
// numbers for integer fields (no silent truncation of fractions).
nb::object numeric_array(nb::handle obj, bool integral, const char* what) {
    nb::object arr = g_np_asarray.get()(obj);
    std::string kind = nb::cast<std::string>(arr.attr("dtype").attr("kind"));
    bool empty = nb::cast<std::size_t>(arr.attr("size")) == 0;
    bool ok = integral ? (kind == "i" || kind == "u" || kind == "b")
                       : (kind == "f" || kind == "i" || kind == "u" || kind == "b");
    if (!ok && !empty)
        narvo::bind::raise_type_error(std::string(what) + " must hold " +
                                      (integral ? "integers" : "real numbers") + ", got dtype " +
                                      narvo::bind::py_str(arr.attr("dtype")));
    return g_np_ascontiguousarray.get()(arr, "dtype"_a = integral ? "int64" : "float64");
}

template <class T>
std::vector<T> vector_of(nb::handle obj, const char* what) {
    nb::object arr = numeric_array(obj, std::is_integral_v<T>, what);
    if (nb::cast<int>(arr.attr("ndim")) != 1)
        narvo::bind::raise_value_error(std::string(what) + " must be one-dimensional");
    auto a = nb::cast<In1<T>>(arr);
    return std::vector<T>(a.data(), a.data() + a.shape(0));
}

template <class T>
nb::object to_numpy(std::vector<T>&& v) {
    auto* held = new std::vector<T>(std::move(v));
    nb::capsule owner(held, [](void* p) noexcept { delete static_cast<std::vector<T>*>(p); });
    return nb::cast(nb::ndarray<nb::numpy, T, nb::ndim<1>>(held->data(), {held->size()}, owner));
}

// --------------------------------------------------------------- states ---

std::vector<CohortState> read_states(nb::handle states) {
    std::vector<std::int64_t> ints[4];
    std::vector<double> doubles[2];
    ints[0] = vector_of<std::int64_t>(item(states, kStateKeys[0]), kStateKeys[0]);
    doubles[0] = vector_of<double>(item(states, kStateKeys[1]), kStateKeys[1]);
    doubles[1] = vector_of<double>(item(states, kStateKeys[2]), kStateKeys[2]);
    for (int k = 0; k < 3; ++k)
        ints[k + 1] = vector_of<std::int64_t>(item(states, kStateKeys[k + 3]), kStateKeys[k + 3]);
    const std::size_t n = ints[0].size();
    bool same = doubles[0].size() == n && doubles[1].size() == n;
    for (int k = 1; k < 4; ++k) same = same && ints[k].size() == n;
    if (!same) narvo::bind::raise_value_error("the state columns must all have the same length");
    std::vector<CohortState> out(n);
    for (std::size_t i = 0; i < n; ++i)
        out[i] = {ints[0][i], doubles[0][i], doubles[1][i], ints[1][i], ints[2][i], ints[3][i]};
    return out;
}

nb::dict states_dict(const std::vector<CohortState>& cohorts) {
    const std::size_t n = cohorts.size();
    std::vector<std::int64_t> birth(n), wf(n), ws(n), wh(n);
    std::vector<double> pop(n), ta(n);
    for (std::size_t i = 0; i < n; ++i) {
        const CohortState& c = cohorts[i];
        birth[i] = c.birth_week_index;
        pop[i] = c.population;
        ta[i] = c.thermal_age;
        wf[i] = c.weeks_since_flowering_threshold;
        ws[i] = c.weeks_since_sucker_threshold;
        wh[i] = c.weeks_since_harvest_threshold;
    }
    nb::dict d;
    d[kStateKeys[0]] = to_numpy(std::move(birth));
    d[kStateKeys[1]] = to_numpy(std::move(pop));
    d[kStateKeys[2]] = to_numpy(std::move(ta));
    d[kStateKeys[3]] = to_numpy(std::move(wf));
    d[kStateKeys[4]] = to_numpy(std::move(ws));
    d[kStateKeys[5]] = to_numpy(std::move(wh));
    return d;
}

// The cohorts of a chain (anything iterable over Cohort-like objects).
nb::dict chain_states(nb::handle chain) {
    std::vector<CohortState> cohorts;
    for (nb::handle c : nb::iter(chain)) {
        CohortState s;
        s.birth_week_index = narvo::bind::as_index(nb::getattr(c, kStateKeys[0]));
        s.population = as_double(nb::getattr(c, kStateKeys[1]));
        s.thermal_age = as_double(nb::getattr(c, kStateKeys[2]));
        s.weeks_since_flowering_threshold = narvo::bind::as_index(nb::getattr(c, kStateKeys[3]));
        s.weeks_since_sucker_threshold = narvo::bind::as_index(nb::getattr(c, kStateKeys[4]));
        s.weeks_since_harvest_threshold = narvo::bind::as_index(nb::getattr(c, kStateKeys[5]));
        cohorts.push_back(s);
    }
    return states_dict(cohorts);
}

// Replaces the chain's cohorts with new Cohort objects of the chain's kind
// holding `states` (through the chain's pickling protocol, which keeps a
// subclass's own attributes).
void load_chain_states(nb::handle chain, nb::handle states) {
    std::vector<CohortState> cohorts = read_states(states);
    nb::object kind = nb::getattr(chain, "kind");
    nb::handle cohort_type = g_cohort_type.get();
    nb::list objects;
    for (const CohortState& c : cohorts)
        objects.append(cohort_type(kind, c.birth_week_index, c.population, c.thermal_age,
                                   c.weeks_since_flowering_threshold,
                                   c.weeks_since_sucker_threshold,
                                   c.weeks_since_harvest_threshold));
    chain.attr("__setstate__")(nb::make_tuple(objects, nb::none()));
}

// -------------------------------------------------------------- seeding ---

// Chain of each inventory row: integer codes (0 pre-flowering, 1
// post-flowering), or values compared with the kinds' texts (ChainKind
// members are such texts); rows of neither kind are skipped, as grouping an
// inventory by kind skips them.
std::vector<int> chain_codes(nb::handle chains, std::size_t n) {
    nb::object arr = g_np_asarray.get()(chains);
    std::string kind = nb::cast<std::string>(arr.attr("dtype").attr("kind"));
    std::vector<int> codes;
    if (kind == "i" || kind == "u") {
        for (std::int64_t c : vector_of<std::int64_t>(arr, "chains")) {
            if (c != 0 && c != 1)
                narvo::bind::raise_value_error("chain codes must be 0 (pre_flowering) or 1 "
                                               "(post_flowering), got " + std::to_string(c));
            codes.push_back(static_cast<int>(c));
        }
    } else {
        nb::str pre("pre_flowering"), post("post_flowering");
        for (nb::handle v : nb::iter(chains)) {
            int is_pre = PyObject_RichCompareBool(v.ptr(), pre.ptr(), Py_EQ);
            if (is_pre < 0) throw nb::python_error();
            int is_post = is_pre ? 0 : PyObject_RichCompareBool(v.ptr(), post.ptr(), Py_EQ);
            if (is_post < 0) throw nb::python_error();
            codes.push_back(is_pre ? 0 : is_post ? 1 : -1);
        }
    }
    if (codes.size() != n)
        narvo::bind::raise_value_error("chains, populations and ages must have the same length");
    return codes;
}

[[noreturn]] void raise_seed_fault(const narvo::core::SeedFault& f,
                                   const narvo::core::WeeklyTable& table) {
    using Fault = narvo::core::SeedFault;
    const std::string kind =
        f.side == ChainSide::pre_flowering ? "pre_flowering" : "post_flowering";
    const std::string a = std::to_string(f.age), b = std::to_string(f.birth);
    switch (f.kind) {
        case Fault::nan_population:
            narvo::bind::raise(g_chain_error.get(),
                               "seed row with age_weeks=" + a + " for chain=" + kind +
                                   " has population nan; expected a number of plants");
        case Fault::duplicate_birth:
            narvo::bind::raise(
                g_chain_error.get(),
                "duplicate cohort at birth_week_index=" + b + " (age_weeks=" + a + ") for chain=" +
                    kind +
                    " in this inventory -- pre-aggregate rows that imply the same (chain, "
                    "birth_week_index) before constructing NarvoPopEngine");
        case Fault::before_coverage:
            narvo::bind::raise(
                g_chain_error.get(),
                "seed row with age_weeks=" + a + " for chain=" + kind + " implies birth_week_index=" +
                    b + "; reconstructing its thermal history needs weather data back to week_index " +
                    std::to_string(f.first) +
                    ", before the weather data's coverage starts at week_index " +
                    std::to_string(table.first_week) + ". Raise start_week_index to at least " +
                    std::to_string(f.age + table.first_week - 1) +
                    ", or construct WeatherProvider with weather data and an explicit "
                    "run_start_date extending back far enough.");
        case Fault::after_coverage:
            narvo::bind::raise(g_weather_error.get(),
                               "week_index " + std::to_string(f.week) +
                                   " is outside the weather data's coverage (" +
                                   std::to_string(table.first_week) + ".." +
                                   std::to_string(table.last_week) + ")");
        default:
            narvo::bind::raise(PyExc_OverflowError, "week index out of range");
    }
}

nb::tuple seed(nb::handle params, nb::handle chains, nb::handle populations, nb::handle ages,
               std::int64_t start_week, std::int64_t first_increment_week,
               nb::handle increments) {
    FarmParams p = resolve_params(params);
    std::vector<double> pops = vector_of<double>(populations, "populations");
    std::vector<std::int64_t> age = vector_of<std::int64_t>(ages, "ages");
    if (age.size() != pops.size())
        narvo::bind::raise_value_error("chains, populations and ages must have the same length");
    std::vector<int> codes = chain_codes(chains, pops.size());
    std::vector<double> inc = vector_of<double>(increments, "increments");
    narvo::core::WeeklyTable table =
        narvo::core::increment_table(first_increment_week, inc.data(), inc.size());
    nb::dict out[2];
    for (int side = 0; side < 2; ++side) {
        std::vector<double> rows_pop;
        std::vector<std::int64_t> rows_age;
        for (std::size_t i = 0; i < codes.size(); ++i)
            if (codes[i] == side) {
                rows_pop.push_back(pops[i]);
                rows_age.push_back(age[i]);
            }
        narvo::core::SeedFault fault;
        std::vector<CohortState> cohorts = narvo::core::seed_chain(
            static_cast<ChainSide>(side), p, rows_pop.data(), rows_age.data(), rows_pop.size(),
            start_week, table, fault);
        if (fault.kind != narvo::core::SeedFault::none) raise_seed_fault(fault, table);
        out[side] = states_dict(cohorts);
    }
    return nb::make_tuple(out[0], out[1]);
}

// ------------------------------------------------------------------ runs ---

void check_increments(const double* inc, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i)
        if (!std::isfinite(inc[i]))
            narvo::bind::raise_value_error(
                "weekly_thermal_increment must be a finite number of degree-days, got " +
                narvo::bind::py_repr(nb::float_(inc[i])));
}

// One farm run with everything it needs in native form.
struct Scenario {
    const FarmParams* params;
    const std::vector<CohortState>* pre;
    const std::vector<CohortState>* post;
    const double* increments;
    const double* replacements;
};

struct Outcome {
    FarmColumns columns;
    std::vector<CohortState> pre, post;
    std::exception_ptr error;
};

void run_scenario(const Scenario& s, std::int64_t first_week, std::size_t weeks, Outcome& out) {
    try {
        Farm farm(*s.params);
        farm.pre.cohorts() = *s.pre;
        farm.post.cohorts() = *s.post;
        out.columns = farm.run(first_week, s.increments, s.replacements, weeks);
        out.pre = std::move(farm.pre.cohorts());
        out.post = std::move(farm.post.cohorts());
    } catch (...) {
        out.error = std::current_exception();
    }
}

nb::dict columns_dict(FarmColumns&& c) {
    nb::dict d;
    d["week_index"] = to_numpy(std::move(c.week_index));
    d["heat_units"] = to_numpy(std::move(c.heat_units));
    d["pre_flowering"] = to_numpy(std::move(c.pre_flowering));
    d["post_flowering"] = to_numpy(std::move(c.post_flowering));
    d["flowering"] = to_numpy(std::move(c.flowering));
    d["harvest"] = to_numpy(std::move(c.harvest));
    d["deaths"] = to_numpy(std::move(c.deaths));
    d["suckers"] = to_numpy(std::move(c.suckers));
    d["replacements"] = to_numpy(std::move(c.replacements));
    d["pruned"] = to_numpy(std::move(c.pruned));
    d["pre_flowering_cohorts"] = to_numpy(std::move(c.pre_flowering_cohorts));
    d["post_flowering_cohorts"] = to_numpy(std::move(c.post_flowering_cohorts));
    return d;
}

nb::tuple run(nb::handle params, nb::handle pre_states, nb::handle post_states,
              std::int64_t first_week, nb::handle increments, nb::handle replacements) {
    FarmParams p = resolve_params(params);
    std::vector<CohortState> pre = read_states(pre_states), post = read_states(post_states);
    std::vector<double> inc = vector_of<double>(increments, "increments");
    std::vector<double> rep = vector_of<double>(replacements, "replacements");
    if (inc.size() != rep.size())
        narvo::bind::raise_value_error("increments and replacements must have the same length");
    check_increments(inc.data(), inc.size());
    Outcome out;
    {
        nb::gil_scoped_release release;
        run_scenario({&p, &pre, &post, inc.data(), rep.data()}, first_week, inc.size(), out);
    }
    if (out.error) std::rethrow_exception(out.error);
    return nb::make_tuple(columns_dict(std::move(out.columns)), states_dict(out.pre),
                          states_dict(out.post));
}

// ------------------------------------------------------------- ensembles ---

bool is_sequence(nb::handle obj) {
    return PyList_Check(obj.ptr()) || PyTuple_Check(obj.ptr());
}

// A per-scenario argument (a list or tuple of values) or one value shared by
// every scenario; `count` collects the scenario count and checks it agrees.
struct Broadcast {
    std::size_t count = 0;
    bool any = false;
    void note(std::size_t n, const char* what) {
        if (any && n != count)
            narvo::bind::raise_value_error(std::string("run_many: ") + what + " gives " +
                                           std::to_string(n) + " scenarios, another argument " +
                                           std::to_string(count));
        count = n;
        any = true;
    }
};

// A weekly series: one row per scenario (2-D) or one row shared (1-D).
struct Series {
    std::vector<double> values;
    std::size_t rows = 1, weeks = 0;
    bool shared = true;
    const double* row(std::size_t s) const { return values.data() + (shared ? 0 : s * weeks); }
};

Series read_series(nb::handle obj, const char* what, Broadcast& b) {
    nb::object arr = numeric_array(obj, false, what);
    int ndim = nb::cast<int>(arr.attr("ndim"));
    Series s;
    if (ndim == 1) {
        auto a = nb::cast<In1<double>>(arr);
        s.values.assign(a.data(), a.data() + a.shape(0));
        s.weeks = a.shape(0);
    } else if (ndim == 2) {
        auto a = nb::cast<In2<double>>(arr);
        s.values.assign(a.data(), a.data() + a.shape(0) * a.shape(1));
        s.rows = a.shape(0);
        s.weeks = a.shape(1);
        s.shared = false;
        b.note(s.rows, what);
    } else {
        narvo::bind::raise_value_error(std::string(what) +
                                       " must be one row of weeks or one row per scenario");
    }
    return s;
}

nb::tuple run_many(nb::handle params, nb::handle pre_states, nb::handle post_states,
                   std::int64_t first_week, nb::handle increments, nb::handle replacements,
                   int threads) {
    if (threads < 1) narvo::bind::raise_value_error("threads must be at least 1");
    Broadcast b;
    std::vector<FarmParams> ps;
    if (is_sequence(params)) {
        for (nb::handle h : nb::iter(params)) ps.push_back(resolve_params(h));
        b.note(ps.size(), "params");
    } else {
        ps.push_back(resolve_params(params));
    }
    auto states_of = [&](nb::handle obj, const char* what) {
        std::vector<std::vector<CohortState>> out;
        if (is_sequence(obj)) {
            for (nb::handle h : nb::iter(obj)) out.push_back(read_states(h));
            b.note(out.size(), what);
        } else {
            out.push_back(read_states(obj));
        }
        return out;
    };
    auto pre = states_of(pre_states, "pre_states");
    auto post = states_of(post_states, "post_states");
    Series inc = read_series(increments, "increments", b);
    Series rep = read_series(replacements, "replacements", b);
    if (inc.weeks != rep.weeks)
        narvo::bind::raise_value_error("increments and replacements must have the same length");
    check_increments(inc.values.data(), inc.values.size());
    const std::size_t count = b.any ? b.count : 1, weeks = inc.weeks;
    auto pick = [](auto& v, std::size_t s) { return &v[v.size() == 1 ? 0 : s]; };

    std::vector<Scenario> scenarios(count);
    for (std::size_t s = 0; s < count; ++s)
        scenarios[s] = {pick(ps, s), pick(pre, s), pick(post, s), inc.row(s), rep.row(s)};
    std::vector<Outcome> outcomes(count);
    {
        nb::gil_scoped_release release;
        std::atomic<std::size_t> next{0};
        auto worker = [&] {
            for (std::size_t s; (s = next.fetch_add(1)) < count;)
                run_scenario(scenarios[s], first_week, weeks, outcomes[s]);
        };
        std::size_t n_threads = std::min<std::size_t>(static_cast<std::size_t>(threads), count);
        std::vector<std::thread> pool;
        for (std::size_t t = 1; t < n_threads; ++t) pool.emplace_back(worker);
        worker();
        for (std::thread& t : pool) t.join();
    }
    for (Outcome& o : outcomes)
        if (o.error) std::rethrow_exception(o.error);

    constexpr std::size_t C = narvo::core::kFarmColumnCount;
    auto* values = new std::vector<double>(count * weeks * C);
    nb::capsule owner(values, [](void* p) noexcept { delete static_cast<std::vector<double>*>(p); });
    nb::list states;
    for (std::size_t s = 0; s < count; ++s) {
        const FarmColumns& c = outcomes[s].columns;
        double* row = values->data() + s * weeks * C;
        for (std::size_t w = 0; w < weeks; ++w, row += C) {
            row[0] = static_cast<double>(c.week_index[w]);
            row[1] = c.heat_units[w];
            row[2] = c.pre_flowering[w];
            row[3] = c.post_flowering[w];
            row[4] = c.flowering[w];
            row[5] = c.harvest[w];
            row[6] = c.deaths[w];
            row[7] = c.suckers[w];
            row[8] = c.replacements[w];
            row[9] = c.pruned[w];
            row[10] = static_cast<double>(c.pre_flowering_cohorts[w]);
            row[11] = static_cast<double>(c.post_flowering_cohorts[w]);
        }
        states.append(nb::make_tuple(states_dict(outcomes[s].pre), states_dict(outcomes[s].post)));
    }
    nb::object array =
        nb::cast(nb::ndarray<nb::numpy, double, nb::ndim<3>>(values->data(), {count, weeks, C}, owner));
    return nb::make_tuple(array, states);
}

}  // namespace

NB_MODULE(_farm, m) {
    m.doc() =
        "The farm kernel: both chains of a farm stepped through a span of weeks in native\n"
        "code, on cohort states held as columns of numpy arrays.";

    nb::list names;
    for (const char* name : narvo::core::kFarmColumnNames) names.append(name);
    m.attr("COLUMNS") = nb::tuple(names);
    nb::list keys;
    for (const char* key : kStateKeys) keys.append(key);
    m.attr("STATE_KEYS") = nb::tuple(keys);

    m.def("seed", &seed, "params"_a, "chains"_a, "populations"_a, "ages"_a, "start_week"_a,
          "first_increment_week"_a, "increments"_a,
          nb::sig("def seed(params: typing.Any, chains: typing.Any, populations: typing.Any, "
                  "ages: typing.Any, start_week: int, first_increment_week: int, "
                  "increments: typing.Any) -> tuple[dict[str, numpy.ndarray], "
                  "dict[str, numpy.ndarray]]"),
          "Seed both chains from inventory rows and return their (pre_flowering,\n"
          "post_flowering) states.\n\n"
          "``chains`` holds each row's chain (0/1 codes, or kind texts; rows of another\n"
          "kind are skipped), ``ages`` whole weeks at ``start_week``. Each row is replayed\n"
          "through its thermal history with ``increments`` (weekly heat units from week\n"
          "``first_increment_week``) as CohortChain.from_dataframe replays it, and fails\n"
          "with the same errors.");
    m.def("run", &run, "params"_a, "pre_states"_a, "post_states"_a, "first_week"_a,
          "increments"_a, "replacements"_a,
          nb::sig("def run(params: typing.Any, pre_states: collections.abc.Mapping[str, typing.Any], "
                  "post_states: collections.abc.Mapping[str, typing.Any], first_week: int, "
                  "increments: typing.Any, replacements: typing.Any) -> "
                  "tuple[dict[str, numpy.ndarray], dict[str, numpy.ndarray], "
                  "dict[str, numpy.ndarray]]"),
          "Step both chains through len(increments) weeks from ``first_week`` in the\n"
          "engine's weekly order; returns (columns, pre_states, post_states). The input\n"
          "states are not changed. The loop runs with the GIL released.");
    m.def("run_many", &run_many, "params"_a, "pre_states"_a, "post_states"_a, "first_week"_a,
          "increments"_a, "replacements"_a, "threads"_a = 1,
          nb::sig("def run_many(params: typing.Any, pre_states: typing.Any, post_states: "
                  "typing.Any, first_week: int, increments: typing.Any, replacements: typing.Any, "
                  "threads: int = 1) -> tuple[numpy.ndarray, list[tuple[dict[str, numpy.ndarray], "
                  "dict[str, numpy.ndarray]]]]"),
          "Run many scenarios on ``threads`` threads with the GIL released.\n\n"
          "``params``, ``pre_states`` and ``post_states`` are one value for every scenario\n"
          "or a list with one per scenario; ``increments`` and ``replacements`` one row of\n"
          "weeks or a 2-D array with one row per scenario. Returns the columns as a float\n"
          "array [scenario, week, column] (column order COLUMNS) and each scenario's final\n"
          "(pre_states, post_states).");
    m.def("chain_states", &chain_states, "chain"_a,
          nb::sig("def chain_states(chain: py_narvo_pop.cohorts.CohortChain) -> "
                  "dict[str, numpy.ndarray]"),
          "The cohorts of ``chain`` as state columns (keys STATE_KEYS), in list order.");
    m.def("load_chain_states", &load_chain_states, "chain"_a, "states"_a,
          nb::sig("def load_chain_states(chain: py_narvo_pop.cohorts.CohortChain, "
                  "states: collections.abc.Mapping[str, typing.Any]) -> None"),
          "Replace the cohorts of ``chain`` with new cohorts of its kind holding ``states``.");
}
