// py_narvo_pop._farm: the farm kernel for callers that run many farms (the
// engine's fast path, calibration, ensembles). A parameter set is resolved
// once per call into typed parameters, the chains' cohorts travel as columns
// of numpy arrays, and the weekly loop runs with the GIL released.
#include "bind/numbers.hpp"
#include "bind/py.hpp"
#include "core/farm.hpp"
#include "core/parous.hpp"

#include <nanobind/ndarray.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstring>
#include <cstdint>
#include <exception>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <unordered_map>
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
FarmParams read_params(nb::handle params) {
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
    return p;
}

FarmParams resolve_params(nb::handle params) {
    FarmParams p = read_params(params);
    if (auto fault = narvo::core::farm_params_fault(p))
        narvo::bind::raise_value_error("the farm kernel cannot run these parameters: " + *fault);
    return p;
}

// Why the kernel cannot run `params`, or None when it can: a parameter it
// cannot read (the chains would raise that error themselves) or a value
// outside what it computes natively.
nb::object params_fault(nb::handle params) {
    FarmParams p;
    try {
        p = read_params(params);
    } catch (nb::python_error& e) {
        return nb::str(e.value());
    }
    if (auto fault = narvo::core::farm_params_fault(p)) return nb::str(fault->c_str());
    return nb::none();
}

double parous_suckers(const std::vector<double>& populations, const std::vector<double>& suckers,
                      const std::vector<double>& flowered, double flowered_plants) {
    if (populations.size() != suckers.size() || populations.size() != flowered.size())
        narvo::bind::raise_value_error("populations, suckers and flowered must have the same length");
    double total = 0.0;
    for (std::size_t i = 0; i < populations.size(); ++i)
        total += narvo::core::attributed_parous_suckers(populations[i], suckers[i], flowered[i],
                                                        flowered_plants);
    return total;
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
    // An array of the right type and layout is read as it is, without the
    // conversions below (which give the same values for it).
    In1<T> direct;
    if (nb::try_cast(obj, direct, false)) return std::vector<T>(direct.data(), direct.data() + direct.shape(0));
    nb::object arr = numeric_array(obj, std::is_integral_v<T>, what);
    if (nb::cast<int>(arr.attr("ndim")) != 1)
        narvo::bind::raise_value_error(std::string(what) + " must be one-dimensional");
    auto a = nb::cast<In1<T>>(arr);
    return std::vector<T>(a.data(), a.data() + a.shape(0));
}

// A new numpy array of `rows` x `n` values of T, not initialised; its rows
// (contiguous views, by row_view) become the columns handed out, so that a
// set of columns is one allocation and one export to numpy.
template <class T>
struct Block {
    T* data = nullptr;
    nb::object array;

    Block(std::size_t rows, std::size_t n) {
        auto* held = new T[rows * n > 0 ? rows * n : 1];
        nb::capsule owner(held, [](void* p) noexcept { delete[] static_cast<T*>(p); });
        data = held;
        array = nb::cast(nb::ndarray<nb::numpy, T, nb::ndim<2>>(held, {rows, n}, owner));
    }
    T* row(std::size_t i, std::size_t n) { return data + i * n; }
};

nb::object steal_or_raise(PyObject* o) {
    if (!o) throw nb::python_error();
    return nb::steal(o);
}

nb::object row_view(const nb::object& array, std::size_t i) {
    return steal_or_raise(PySequence_GetItem(array.ptr(), static_cast<Py_ssize_t>(i)));
}

nb::object slice_view(const nb::object& array, std::size_t from, std::size_t to) {
    return steal_or_raise(PySequence_GetSlice(array.ptr(), static_cast<Py_ssize_t>(from),
                                              static_cast<Py_ssize_t>(to)));
}

// Packed rows (bytes, as seed_many returns them) or a mapping of state columns.
std::vector<CohortState> read_states(nb::handle states) {
    if (PyBytes_Check(states.ptr())) {
        nb::bytes packed = nb::borrow<nb::bytes>(states);
        if (packed.size() % sizeof(CohortState) != 0)
            narvo::bind::raise_value_error("packed cohort states have the wrong size");
        std::vector<CohortState> rows(packed.size() / sizeof(CohortState));
        if (!rows.empty()) std::memcpy(rows.data(), packed.c_str(), packed.size());
        return rows;
    }
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

// State columns in STATE_KEYS order: int64 rows birth, wf, ws, wh; float64
// rows population, thermal_age.
void write_states(const CohortState* cohorts, std::size_t n, std::int64_t* birth,
                  std::int64_t* wf, std::int64_t* ws, std::int64_t* wh, double* pop,
                  double* ta) {
    for (std::size_t i = 0; i < n; ++i) {
        const CohortState& c = cohorts[i];
        birth[i] = c.birth_week_index;
        pop[i] = c.population;
        ta[i] = c.thermal_age;
        wf[i] = c.weeks_since_flowering_threshold;
        ws[i] = c.weeks_since_sucker_threshold;
        wh[i] = c.weeks_since_harvest_threshold;
    }
}

nb::dict states_dict(const std::vector<CohortState>& cohorts) {
    const std::size_t n = cohorts.size();
    Block<std::int64_t> ints(4, n);
    Block<double> reals(2, n);
    write_states(cohorts.data(), n, ints.row(0, n), ints.row(1, n), ints.row(2, n),
                 ints.row(3, n), reals.row(0, n), reals.row(1, n));
    nb::dict d;
    d[kStateKeys[0]] = row_view(ints.array, 0);
    d[kStateKeys[1]] = row_view(reals.array, 0);
    d[kStateKeys[2]] = row_view(reals.array, 1);
    d[kStateKeys[3]] = row_view(ints.array, 1);
    d[kStateKeys[4]] = row_view(ints.array, 2);
    d[kStateKeys[5]] = row_view(ints.array, 3);
    return d;
}

// The cohorts of a chain (anything iterable over Cohort-like objects).
// A chain's cohorts as packed core::CohortState rows (the chain's own
// exchange format), and back.
nb::dict chain_states(nb::handle chain) {
    nb::bytes packed = nb::borrow<nb::bytes>(chain.attr("_state_bytes")());
    if (packed.size() % sizeof(CohortState) != 0)
        narvo::bind::raise_value_error("packed cohort states have the wrong size");
    std::vector<CohortState> cohorts(packed.size() / sizeof(CohortState));
    if (!cohorts.empty()) std::memcpy(cohorts.data(), packed.c_str(), packed.size());
    return states_dict(cohorts);
}

// Replaces the chain's cohorts with cohorts of the chain's kind holding
// `states`. A kernel keeps the cohorts that survive in their order and
// appends new ones, so each state row takes the next cohort already in the
// chain with its birth week, updated in place: callers holding a cohort keep
// holding the live one. Rows without such a cohort get a new Cohort.
void load_chain_states(nb::handle chain, nb::handle states) {
    std::vector<CohortState> cohorts = read_states(states);
    chain.attr("_load_state_bytes")(nb::bytes(reinterpret_cast<const char*>(cohorts.data()),
                                              cohorts.size() * sizeof(CohortState)));
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

// Threads worth starting for `items` independent pieces of work totalling
// `work` units, at most `requested`: each thread beyond the first must get at
// least `per_thread` units. Waking an idle CPU can cost milliseconds (on a
// virtual machine above all), more than a small call takes on one thread.
constexpr double kSeedStepsPerThread = 2.0e6;     // row-weeks replayed: some milliseconds
constexpr double kScenarioWeeksPerThread = 1.0e4;  // farm weeks stepped: some milliseconds

std::size_t useful_threads(int requested, std::size_t items, double work, double per_thread) {
    std::size_t n = static_cast<std::size_t>(requested < 1 ? 1 : requested);
    if (per_thread > 0.0) {
        const double worth = std::floor(work / per_thread);
        if (worth < static_cast<double>(n)) n = worth < 1.0 ? 1 : static_cast<std::size_t>(worth);
    }
    return std::max<std::size_t>(1, std::min(n, items));
}

// worker(0) on this thread and worker(1) .. worker(n - 1) on new ones, all
// joined before it returns. The workers share their work through a counter,
// so when the system refuses a thread the others do its part. A worker must
// not throw.
template <class Worker>
void on_threads(std::size_t n, Worker& worker) {
    std::vector<std::thread> pool;
    struct JoinAll {
        std::vector<std::thread>& threads;
        ~JoinAll() {
            for (std::thread& t : threads) t.join();
        }
    } join_all{pool};
    for (std::size_t t = 1; t < n; ++t) {
        try {
            pool.emplace_back(worker, static_cast<std::uint32_t>(t));
        } catch (const std::system_error&) {
            break;
        }
    }
    worker(0);
}

// An inventory's rows split by chain: (populations, ages) of each side.
struct Inventory {
    std::vector<double> pops[2];
    std::vector<std::int64_t> ages[2];
};

Inventory read_inventory(nb::handle chains, nb::handle populations, nb::handle ages) {
    std::vector<double> pops = vector_of<double>(populations, "populations");
    std::vector<std::int64_t> age = vector_of<std::int64_t>(ages, "ages");
    if (age.size() != pops.size())
        narvo::bind::raise_value_error("chains, populations and ages must have the same length");
    std::vector<int> codes = chain_codes(chains, pops.size());
    Inventory inv;
    for (std::size_t i = 0; i < codes.size(); ++i)
        if (codes[i] == 0 || codes[i] == 1) {
            inv.pops[codes[i]].push_back(pops[i]);
            inv.ages[codes[i]].push_back(age[i]);
        }
    return inv;
}

// Both chains seeded; plain numbers only, so it runs without the GIL. On a
// fault (its side is the chain that failed) the later chain is not seeded.
struct Seeded {
    std::vector<CohortState> cohorts[2];
    narvo::core::SeedFault fault;
    bool failed() const { return fault.kind != narvo::core::SeedFault::none; }
};

Seeded seed_both(const FarmParams& p, const Inventory& inv, std::int64_t start_week,
                 const narvo::core::WeeklyTable& table) {
    Seeded out;
    for (int side = 0; side < 2; ++side) {
        out.cohorts[side] = narvo::core::seed_chain(static_cast<ChainSide>(side), p,
                                                    inv.pops[side].data(), inv.ages[side].data(),
                                                    inv.pops[side].size(), start_week, table,
                                                    out.fault);
        if (out.failed()) break;
    }
    return out;
}

narvo::core::WeeklyTable read_history(nb::handle increments, std::int64_t first_increment_week) {
    std::vector<double> inc = vector_of<double>(increments, "increments");
    return narvo::core::increment_table(first_increment_week, inc.data(), inc.size());
}

nb::tuple seed(nb::handle params, nb::handle chains, nb::handle populations, nb::handle ages,
               std::int64_t start_week, std::int64_t first_increment_week,
               nb::handle increments) {
    FarmParams p = resolve_params(params);
    Inventory inv = read_inventory(chains, populations, ages);
    narvo::core::WeeklyTable table = read_history(increments, first_increment_week);
    Seeded seeded;
    {
        // Plain numbers from here on: other threads may run meanwhile.
        nb::gil_scoped_release release;
        seeded = seed_both(p, inv, start_week, table);
    }
    if (seeded.failed()) raise_seed_fault(seeded.fault, table);
    return nb::make_tuple(states_dict(seeded.cohorts[0]), states_dict(seeded.cohorts[1]));
}

nb::bytes packed_states(const std::vector<CohortState>& cohorts) {
    return nb::bytes(reinterpret_cast<const char*>(cohorts.data()),
                     cohorts.size() * sizeof(CohortState));
}

// Many seedings at once: each item is the arguments of seed() but for the
// chains; the inventories and weekly histories are converted once per
// distinct object. Returns (states, failed): each item's (pre, post) states
// packed for run_many, and the first item that failed (-1 when none; seed()
// on that item raises its error).
nb::tuple seed_many(nb::handle items, int threads, bool eager_threads) {
    if (threads < 1) narvo::bind::raise_value_error("threads must be at least 1");
    struct Item {
        std::size_t params, inventory, history;
        std::int64_t start;
    };
    std::vector<FarmParams> params;
    std::vector<Inventory> inventories;
    std::vector<narvo::core::WeeklyTable> histories;
    std::unordered_map<PyObject*, std::size_t> seen_params;
    std::map<std::array<PyObject*, 3>, std::size_t> seen_inventory;
    std::map<std::pair<PyObject*, std::int64_t>, std::size_t> seen_history;
    std::vector<Item> work;
    nb::list held = nb::list(items);  // keeps the keyed objects alive
    for (nb::handle h : held) {
        if (!nb::isinstance<nb::tuple>(h) || nb::len(h) != 7)
            narvo::bind::raise_type_error("seed_many: each item must be a tuple (params, chains, "
                                          "populations, ages, start_week, first_increment_week, "
                                          "increments)");
        nb::tuple t = nb::borrow<nb::tuple>(h);
        Item it{};
        auto [pi, pnew] = seen_params.try_emplace(t[0].ptr(), params.size());
        if (pnew) params.push_back(resolve_params(t[0]));
        it.params = pi->second;
        auto [ii, inew] = seen_inventory.try_emplace({t[1].ptr(), t[2].ptr(), t[3].ptr()},
                                                     inventories.size());
        if (inew) inventories.push_back(read_inventory(t[1], t[2], t[3]));
        it.inventory = ii->second;
        std::int64_t first = 0;
        if (!nb::try_cast(t[4], it.start) || !nb::try_cast(t[5], first))
            narvo::bind::raise_type_error(
                "seed_many: start_week and first_increment_week must be ints within 64 bits, got " +
                narvo::bind::py_repr(t[4]) + " and " + narvo::bind::py_repr(t[5]));
        auto [hi, hnew] = seen_history.try_emplace({t[6].ptr(), first}, histories.size());
        if (hnew) histories.push_back(read_history(t[6], first));
        it.history = hi->second;
        work.push_back(it);
    }
    std::vector<Seeded> done(work.size());
    std::vector<std::exception_ptr> errors(work.size());
    {
        nb::gil_scoped_release release;
        std::atomic<std::size_t> next{0};
        auto worker = [&](std::uint32_t) {
            for (std::size_t i; (i = next.fetch_add(1, std::memory_order_relaxed)) < work.size();) {
                const Item& it = work[i];
                try {
                    done[i] = seed_both(params[it.params], inventories[it.inventory], it.start,
                                        histories[it.history]);
                } catch (...) {
                    errors[i] = std::current_exception();
                }
            }
        };
        // Seeding replays each row through its history: rows times weeks.
        double steps = 0.0;
        for (const Item& it : work) {
            const Inventory& inv = inventories[it.inventory];
            steps += static_cast<double>(inv.pops[0].size() + inv.pops[1].size()) *
                     static_cast<double>(histories[it.history].totals.size());
        }
        const std::size_t n_threads =
            useful_threads(threads, work.size(), steps, eager_threads ? 0.0 : kSeedStepsPerThread);
        on_threads(n_threads, worker);
    }
    nb::list states;
    std::int64_t failed = -1;
    for (std::size_t i = 0; i < done.size(); ++i) {
        if (errors[i]) std::rethrow_exception(errors[i]);
        if (done[i].failed()) {
            failed = static_cast<std::int64_t>(i);
            break;
        }
        states.append(nb::make_tuple(packed_states(done[i].cohorts[0]),
                                     packed_states(done[i].cohorts[1])));
    }
    return nb::make_tuple(states, failed);
}

// ------------------------------------------------------------------ runs ---

void check_increments(const double* inc, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i)
        if (!std::isfinite(inc[i]))
            narvo::bind::raise_value_error(
                "weekly_thermal_increment must be a finite number of degree-days, got " +
                narvo::bind::py_repr(nb::float_(inc[i])));
}

nb::dict columns_dict(const FarmColumns& c) {
    const std::size_t n = c.size();
    // float64 columns, then the int64 ones, each in COLUMNS order.
    const std::vector<double>* reals[9] = {&c.heat_units, &c.pre_flowering, &c.post_flowering,
                                           &c.flowering,  &c.harvest,       &c.deaths,
                                           &c.suckers,    &c.replacements,  &c.pruned};
    const std::vector<std::int64_t>* ints[3] = {&c.week_index, &c.pre_flowering_cohorts,
                                                &c.post_flowering_cohorts};
    Block<double> r(9, n);
    Block<std::int64_t> k(3, n);
    for (std::size_t j = 0; j < 9; ++j) std::copy(reals[j]->begin(), reals[j]->end(), r.row(j, n));
    for (std::size_t j = 0; j < 3; ++j) std::copy(ints[j]->begin(), ints[j]->end(), k.row(j, n));
    nb::dict d;
    d[narvo::core::kFarmColumnNames[0]] = row_view(k.array, 0);
    for (std::size_t j = 0; j < 9; ++j) d[narvo::core::kFarmColumnNames[j + 1]] = row_view(r.array, j);
    d[narvo::core::kFarmColumnNames[10]] = row_view(k.array, 1);
    d[narvo::core::kFarmColumnNames[11]] = row_view(k.array, 2);
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
    FarmColumns columns;
    std::exception_ptr error;
    Farm farm(p);
    farm.pre.cohorts() = std::move(pre);
    farm.post.cohorts() = std::move(post);
    {
        nb::gil_scoped_release release;
        try {
            columns = farm.run(first_week, inc.data(), rep.data(), inc.size());
        } catch (...) {
            error = std::current_exception();
        }
    }
    if (error) std::rethrow_exception(error);
    return nb::make_tuple(columns_dict(columns), states_dict(farm.pre.cohorts()),
                          states_dict(farm.post.cohorts()));
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
    Series s;
    In2<double> direct;
    if (nb::try_cast(obj, direct, false)) {
        s.values.assign(direct.data(), direct.data() + direct.shape(0) * direct.shape(1));
        s.rows = direct.shape(0);
        s.weeks = direct.shape(1);
        s.shared = false;
        b.note(s.rows, what);
        return s;
    }
    nb::object arr = numeric_array(obj, false, what);
    int ndim = nb::cast<int>(arr.attr("ndim"));
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

// The distinct values of a per-scenario argument, each read once: a list
// that repeats one object (the usual ensemble) is converted once.
template <class T>
struct Distinct {
    std::vector<T> values;
    std::vector<std::uint32_t> index;  // per scenario; empty when shared

    template <class Read>
    void read(nb::handle obj, const char* what, Broadcast& b, Read&& convert) {
        if (!is_sequence(obj)) {
            values.push_back(convert(obj));
            return;
        }
        std::unordered_map<PyObject*, std::uint32_t> seen;
        nb::object items = nb::borrow(obj);  // keeps the objects alive while keyed by address
        for (nb::handle h : nb::iter(items)) {
            auto [it, fresh] = seen.try_emplace(h.ptr(), static_cast<std::uint32_t>(values.size()));
            if (fresh) values.push_back(convert(h));
            index.push_back(it->second);
        }
        b.note(index.size(), what);
    }
    std::uint32_t of(std::size_t s) const { return index.empty() ? 0 : index[s]; }
};

// A parameter set's curves, tabulated once by the first scenario that needs
// them and then shared by every scenario of that set.
struct SharedCurves {
    FarmParams params;
    std::shared_ptr<const narvo::core::FarmCurves> curves;
    std::once_flag once;
};

// What a worker thread keeps between scenarios: the chains' buffers, and
// the final states of its scenarios, one after another.
struct Workspace {
    std::vector<CohortState> pre, post;
    std::vector<CohortState> finals;
    std::vector<double> rows;  // one scenario's rows when only some columns are kept
};

struct Placement {
    std::uint32_t worker = 0;
    std::size_t offset = 0, pre = 0, post = 0;  // into that worker's finals
    std::exception_ptr error;
};

using OutArray = nb::ndarray<double, nb::ndim<3>, nb::c_contig, nb::device::cpu>;

nb::tuple run_many(nb::handle params, nb::handle pre_states, nb::handle post_states,
                   std::int64_t first_week, nb::handle increments, nb::handle replacements,
                   int threads, std::optional<std::vector<std::int64_t>> columns,
                   std::optional<OutArray> out, bool final_states, bool eager_threads) {
    if (threads < 1) narvo::bind::raise_value_error("threads must be at least 1");
    constexpr std::size_t C = narvo::core::kFarmColumnCount;
    std::vector<std::size_t> keep;
    if (columns) {
        for (std::int64_t c : *columns) {
            if (c < 0 || c >= static_cast<std::int64_t>(C))
                narvo::bind::raise_value_error("column " + std::to_string(c) +
                                               " is not a column index (0 to " +
                                               std::to_string(C - 1) + ")");
            keep.push_back(static_cast<std::size_t>(c));
        }
    } else {
        for (std::size_t c = 0; c < C; ++c) keep.push_back(c);
    }
    bool all_columns = keep.size() == C;
    for (std::size_t c = 0; all_columns && c < C; ++c) all_columns = keep[c] == c;
    Broadcast b;
    Distinct<FarmParams> ps;
    ps.read(params, "params", b, [](nb::handle h) { return resolve_params(h); });
    Distinct<std::vector<CohortState>> pre, post;
    pre.read(pre_states, "pre_states", b, [](nb::handle h) { return read_states(h); });
    post.read(post_states, "post_states", b, [](nb::handle h) { return read_states(h); });
    Series inc = read_series(increments, "increments", b);
    Series rep = read_series(replacements, "replacements", b);
    if (inc.weeks != rep.weeks)
        narvo::bind::raise_value_error("increments and replacements must have the same length");
    check_increments(inc.values.data(), inc.values.size());
    const std::size_t count = b.any ? b.count : 1, weeks = inc.weeks;

    // Tables long enough for every scenario's counters.
    std::int64_t top = 0;
    for (const auto* chains : {&pre.values, &post.values})
        for (const auto& states : *chains) top = std::max(top, narvo::core::largest_counter(states));
    std::vector<SharedCurves> curves(ps.values.size());
    for (std::size_t i = 0; i < curves.size(); ++i) curves[i].params = ps.values[i];

    const std::size_t K = keep.size();
    double* dest = nullptr;
    nb::object array;
    if (out) {
        if (out->shape(0) != count || out->shape(1) != weeks || out->shape(2) != K)
            narvo::bind::raise_value_error(
                "out must have the shape (scenarios, weeks, columns) = (" + std::to_string(count) +
                ", " + std::to_string(weeks) + ", " + std::to_string(K) + ")");
        dest = out->data();
        array = nb::cast(*out);
    } else {
        Block<double> values(count, weeks * K);
        dest = values.data;
        array = values.array.attr("reshape")(count, weeks, K);
    }
    std::vector<Placement> placed(count);
    const std::size_t n_threads =
        useful_threads(threads, count, static_cast<double>(count) * static_cast<double>(weeks),
                       eager_threads ? 0.0 : kScenarioWeeksPerThread);
    std::vector<Workspace> spaces(n_threads);
    {
        nb::gil_scoped_release release;
        std::atomic<std::size_t> next{0};
        auto worker = [&](std::uint32_t id) {
            Workspace& space = spaces[id];
            for (std::size_t s; (s = next.fetch_add(1, std::memory_order_relaxed)) < count;) {
                Placement& at = placed[s];
                at.worker = id;
                try {
                    SharedCurves& shared = curves[ps.of(s)];
                    std::call_once(shared.once, [&] {
                        // Through the process-wide cache: sets that differ only in
                        // thresholds, death rates or limits share their curves.
                        shared.curves = narvo::core::shared_curves(
                            shared.params, narvo::core::counts_needed(shared.params, top, weeks));
                    });
                    Farm farm(shared.params, shared.curves);
                    // The chains run in the workspace's buffers, kept from the
                    // last scenario, so a long ensemble allocates little.
                    farm.pre.cohorts() = std::move(space.pre);
                    farm.post.cohorts() = std::move(space.post);
                    const auto& pre0 = pre.values[pre.of(s)];
                    const auto& post0 = post.values[post.of(s)];
                    farm.pre.cohorts().assign(pre0.begin(), pre0.end());
                    farm.post.cohorts().assign(post0.begin(), post0.end());
                    double* target = dest + s * weeks * K;
                    if (all_columns) {
                        farm.run_rows(first_week, inc.row(s), rep.row(s), weeks, target);
                    } else {
                        space.rows.resize(weeks * C);
                        farm.run_rows(first_week, inc.row(s), rep.row(s), weeks, space.rows.data());
                        for (std::size_t w = 0; w < weeks; ++w)
                            for (std::size_t k = 0; k < K; ++k)
                                target[w * K + k] = space.rows[w * C + keep[k]];
                    }
                    if (!final_states) {
                        space.pre = std::move(farm.pre.cohorts());
                        space.post = std::move(farm.post.cohorts());
                        continue;
                    }
                    at.offset = space.finals.size();
                    at.pre = farm.pre.size();
                    at.post = farm.post.size();
                    space.finals.insert(space.finals.end(), farm.pre.cohorts().begin(),
                                        farm.pre.cohorts().end());
                    space.finals.insert(space.finals.end(), farm.post.cohorts().begin(),
                                        farm.post.cohorts().end());
                    space.pre = std::move(farm.pre.cohorts());
                    space.post = std::move(farm.post.cohorts());
                } catch (...) {
                    at.error = std::current_exception();
                }
            }
        };
        on_threads(n_threads, worker);
    }
    for (const Placement& at : placed)
        if (at.error) std::rethrow_exception(at.error);

    if (!final_states) return nb::make_tuple(array, nb::none());

    // Every scenario's final states, as slices of one array per state key.
    std::size_t total = 0;
    for (const Workspace& w : spaces) total += w.finals.size();
    Block<std::int64_t> ints(4, total);
    Block<double> reals(2, total);
    std::size_t at = 0;
    std::vector<std::size_t> base(n_threads);
    for (std::size_t t = 0; t < n_threads; ++t) {
        const std::vector<CohortState>& f = spaces[t].finals;
        base[t] = at;
        write_states(f.data(), f.size(), ints.row(0, total) + at, ints.row(1, total) + at,
                     ints.row(2, total) + at, ints.row(3, total) + at, reals.row(0, total) + at,
                     reals.row(1, total) + at);
        at += f.size();
        std::vector<CohortState>().swap(spaces[t].finals);
    }
    nb::object state_columns[6] = {row_view(ints.array, 0),  row_view(reals.array, 0),
                             row_view(reals.array, 1), row_view(ints.array, 1),
                             row_view(ints.array, 2),  row_view(ints.array, 3)};
    auto dict_of = [&](std::size_t from, std::size_t n) {
        nb::dict d;
        for (int k = 0; k < 6; ++k) d[kStateKeys[k]] = slice_view(state_columns[k], from, from + n);
        return d;
    };
    nb::list states;
    for (const Placement& p : placed) {
        const std::size_t from = base[p.worker] + p.offset;
        states.append(nb::make_tuple(dict_of(from, p.pre), dict_of(from + p.pre, p.post)));
    }
    return nb::make_tuple(array, states);
}

}  // namespace

NB_MODULE(_farm, m) {
    m.doc() =
        "The farm kernel: both chains of a farm stepped through a span of weeks in native\n"
        "code, on cohort states held as columns of numpy arrays.";

    m.def("params_fault", &params_fault, "params"_a,
          nb::sig("def params_fault(params: typing.Any) -> str | None"),
          "Why the kernel cannot run ``params`` (a text), or None when it can.");
    m.def("parous_suckers", &parous_suckers, "populations"_a, "suckers"_a, "flowered"_a,
          "flowered_plants"_a,
          "The suckers of already-flowered plants over a chain's cohorts, as the kernel\n"
          "attributes them: per cohort its population at the start of the week, its\n"
          "suckers, the share flowered before the week; the farm's flowered plants bound\n"
          "what any one cohort stands for.");

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
    m.def("seed_many", &seed_many, "items"_a, "threads"_a = 1, nb::kw_only(), "eager_threads"_a = false,
          nb::sig("def seed_many(items: collections.abc.Iterable[tuple[typing.Any, typing.Any, "
                  "typing.Any, typing.Any, int, int, typing.Any]], threads: int = 1, *, "
                  "eager_threads: bool = False) -> "
                  "tuple[list[tuple[bytes, bytes]], int]"),
          "Seed many farms at once on up to ``threads`` threads with the GIL released (a call\n"
          "too small to gain from more runs on fewer; ``eager_threads`` starts them all anyway).\n"
          "Each item\n"
          "holds seed()'s arguments; inventories and histories\n"
          "are converted once per distinct object. Returns each item's (pre, post) states\n"
          "packed for run_many, up to the first item that failed, and that item's position\n"
          "(-1 when none failed; seed() on it raises its error).");
    m.def("run", &run, "params"_a, "pre_states"_a, "post_states"_a, "first_week"_a,
          "increments"_a, "replacements"_a,
          nb::sig("def run(params: typing.Any, pre_states: collections.abc.Mapping[str, typing.Any] "
                  "| bytes, post_states: collections.abc.Mapping[str, typing.Any] | bytes, "
                  "first_week: int, "
                  "increments: typing.Any, replacements: typing.Any) -> "
                  "tuple[dict[str, numpy.ndarray], dict[str, numpy.ndarray], "
                  "dict[str, numpy.ndarray]]"),
          "Step both chains through len(increments) weeks from ``first_week`` in the\n"
          "engine's weekly order; returns (columns, pre_states, post_states). The input\n"
          "states are not changed. The loop runs with the GIL released. States are\n"
          "mappings of STATE_KEYS columns or rows packed by seed_many.");
    m.def("run_many", &run_many, "params"_a, "pre_states"_a, "post_states"_a, "first_week"_a,
          "increments"_a, "replacements"_a, "threads"_a = 1, "columns"_a = nb::none(),
          "out"_a.noconvert() = nb::none(), "final_states"_a = true, nb::kw_only(),
          "eager_threads"_a = false,
          nb::sig("def run_many(params: typing.Any, pre_states: typing.Any, post_states: "
                  "typing.Any, first_week: int, increments: typing.Any, replacements: typing.Any, "
                  "threads: int = 1, columns: collections.abc.Sequence[int] | None = None, "
                  "out: numpy.ndarray | None = None, final_states: bool = True, *, "
                  "eager_threads: bool = False) -> "
                  "tuple[numpy.ndarray, list[tuple[dict[str, numpy.ndarray], "
                  "dict[str, numpy.ndarray]]] | None]"),
          "Run many scenarios on up to ``threads`` threads with the GIL released (a call too\n"
          "small to gain from more runs on fewer; ``eager_threads`` starts them all anyway).\n\n"
          "``params``, ``pre_states`` and ``post_states`` are one value for every scenario\n"
          "or a list with one per scenario; ``increments`` and ``replacements`` one row of\n"
          "weeks or a 2-D array with one row per scenario. Returns the columns as a float\n"
          "array [scenario, week, column] (column order COLUMNS) and each scenario's final\n"
          "(pre_states, post_states).\n\n"
          "``columns`` keeps only those column indices, in that order; ``out``, a C-contiguous\n"
          "float64 array of shape (scenarios, weeks, columns), receives the values instead of\n"
          "a new array; ``final_states=False`` returns None in place of the final states.");
    m.def("chain_states", &chain_states, "chain"_a,
          nb::sig("def chain_states(chain: py_narvo_pop.cohorts.CohortChain) -> "
                  "dict[str, numpy.ndarray]"),
          "The cohorts of ``chain`` as state columns (keys STATE_KEYS), in list order.");
    m.def("load_chain_states", &load_chain_states, "chain"_a, "states"_a,
          nb::sig("def load_chain_states(chain: py_narvo_pop.cohorts.CohortChain, "
                  "states: collections.abc.Mapping[str, typing.Any]) -> None"),
          "Replace the cohorts of ``chain`` with cohorts of its kind holding ``states``; a\n"
          "cohort already in the chain with the next row's birth week (in order) is kept and\n"
          "updated in place, so callers holding it see the new state.");
}
