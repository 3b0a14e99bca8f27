// py_narvo_pop.cohorts: cohorts of plants, the two chains they live in, and
// the weekly step that ages, moves and prunes them.
#include "bind/enums.hpp"
#include "bind/numbers.hpp"
#include "bind/py.hpp"
#include "bind/record.hpp"
#include "bind/weather_native.hpp"
#include "core/chain_step.hpp"
#include "core/cohort.hpp"
#include "core/dispersion.hpp"
#include "core/pysum.hpp"
#include "core/replay.hpp"

#include <nanobind/stl/string.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

namespace nb = nanobind;
using namespace nb::literals;
using narvo::bind::as_double;
using narvo::bind::as_index;
using narvo::bind::FieldDecl;
using narvo::bind::item;
using narvo::core::CohortState;
using narvo::core::StepRates;
using narvo::core::WeekTable;

namespace {

// ------------------------------------------------- module-level handles ---

nb::handle g_cohort_type, g_rates_map_type, g_chain_rates_type;
nb::handle g_pre, g_post;        // ChainKind members
nb::handle g_module_dict;        // this module's globals
nb::handle g_cohort_chain_error;
narvo::bind::LazyAttr g_weather_error{"py_narvo_pop.exceptions", "WeatherError"};

// The dispersion functions as the dispersion module defines them; the step
// computes them natively for as long as the module attributes are these.
struct NativeDispersion {
    nb::handle profile, rate, harvest_cohort_basis, harvest;
} g_dispersion;

// Interned texts for the attribute and key lookups of every step.
struct Names {
    nb::handle general, flowering, sucker_selection, harvest, mortality_replacement;
    nb::handle rate_basis, cohort, threshold_dd, amplitude, peak_weeks, spread, hazard_weeks;
    nb::handle death_rate_vegetative, death_rate_reproductive;
    nb::handle max_age_weeks_vegetative, max_age_weeks_reproductive, population_epsilon;
    nb::handle share, hazard, fraction_done, value;
} g_names;

nb::handle intern(const char* text) {
    PyObject* s = PyUnicode_InternFromString(text);
    if (!s) throw nb::python_error();
    return narvo::bind::keep(nb::steal(s));
}

nb::object attr(nb::handle obj, nb::handle name) {
    PyObject* r = PyObject_GetAttr(obj.ptr(), name.ptr());
    if (!r) throw nb::python_error();
    return nb::steal(r);
}

// A global of this module looked up at the moment of use, as a Python
// implementation of the module would look its globals up.
nb::object module_global(const char* name) {
    PyObject* r = nullptr;
    if (PyDict_GetItemStringRef(g_module_dict.ptr(), name, &r) < 0) throw nb::python_error();
    if (!r)
        narvo::bind::raise(PyExc_NameError, std::string("name '") + name + "' is not defined");
    return nb::steal(r);
}

bool equals(nb::handle a, nb::handle b) {
    int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_EQ);
    if (r < 0) throw nb::python_error();
    return r == 1;
}

// The native object behind `obj`, an instance of `T` (a bound class): one made
// by `T.__new__` without `__init__` holds no state yet and is refused.
template <class T>
T& constructed(nb::handle obj, const char* base) {
    if (!nb::inst_ready(obj)) {
        std::string type = nb::borrow<nb::str>(nb::getattr(obj.type(), "__qualname__")).c_str();
        narvo::bind::raise_type_error(std::string(base) + ".__init__() was not called on this " +
                                      type + " instance");
    }
    return *nb::inst_ptr<T>(obj);
}

// Which of the two chain kinds `kind` is (equality with the member, so the
// value text serves as well); a value equal to neither is "any other".
struct KindTest {
    bool pre = false, post = false;
};

KindTest classify(nb::handle kind) {
    if (kind.is(g_pre)) return {true, false};
    if (kind.is(g_post)) return {false, true};
    if (equals(kind, g_pre)) return {true, false};
    return {false, equals(kind, g_post)};
}

// The thresholds of the counters a chain of this kind keeps, read in the
// order flowering, sucker selection, harvest.
narvo::core::Thresholds read_thresholds(nb::handle params, KindTest kind) {
    narvo::core::Thresholds t;
    t.flowering_counter = kind.pre;
    t.harvest_counter = kind.post;
    if (kind.pre)
        t.flowering = as_double(item(attr(params, g_names.flowering), g_names.threshold_dd));
    t.sucker = as_double(item(attr(params, g_names.sucker_selection), g_names.threshold_dd));
    if (kind.post)
        t.harvest = as_double(item(attr(params, g_names.harvest), g_names.threshold_dd));
    return t;
}

// ---------------------------------------------------------------- Cohort ---

struct Cohort {
    nb::object chain;
    CohortState s;

    static constexpr std::array<const char*, 7> fields = {
        "chain",
        "birth_week_index",
        "population",
        "thermal_age",
        "weeks_since_flowering_threshold",
        "weeks_since_sucker_threshold",
        "weeks_since_harvest_threshold"};

    nb::object field(size_t i) const {
        switch (i) {
            case 0: return chain;
            case 1: return nb::int_(s.birth_week_index);
            case 2: return nb::float_(s.population);
            case 3: return nb::float_(s.thermal_age);
            case 4: return nb::int_(s.weeks_since_flowering_threshold);
            case 5: return nb::int_(s.weeks_since_sucker_threshold);
            default: return nb::int_(s.weeks_since_harvest_threshold);
        }
    }
};

nb::object new_cohort(nb::handle chain, const CohortState& state) {
    nb::object obj = nb::inst_alloc(g_cohort_type);
    Cohort* c = nb::inst_ptr<Cohort>(obj);
    new (c) Cohort{nb::borrow(chain), state};
    nb::inst_mark_ready(obj);
    return obj;
}

struct CohortColumnMap : narvo::bind::ObjectFields<3> {
    static constexpr std::array<const char*, 3> fields = {"chain", "population", "age_weeks"};
};

// ---------------------------------------------------------- rates maps ---

// A read-only mapping from cohort position to one column of a week's rates,
// viewing the vectors the step wrote (shared with every other view of them).
struct RatesMap {
    enum Column : int { thermal_age, counters, exit, death, sucker };

    std::shared_ptr<const StepRates> data;
    Column column;

    std::size_t size() const { return data->size(); }
    const double* doubles() const {
        switch (column) {
            case thermal_age: return data->thermal_age.data();
            case exit: return data->exit.data();
            case death: return data->death.data();
            default: return data->sucker.data();
        }
    }
    nb::object at(std::size_t i) const {
        if (column == counters)
            return nb::make_tuple(data->wf[i], data->ws[i], data->wh[i]);
        return nb::float_(doubles()[i]);
    }
    // The position a key denotes, as a dict keyed by ints would find it
    // (True is 1, 2.0 is 2); -1 when there is none.
    std::int64_t position(nb::handle key) const {
        std::int64_t i = -1;
        if (PyLong_Check(key.ptr())) {
            int overflow = 0;
            long long v = PyLong_AsLongLongAndOverflow(key.ptr(), &overflow);
            if (v == -1 && PyErr_Occurred()) throw nb::python_error();
            if (!overflow) i = v;
        } else if (PyFloat_Check(key.ptr())) {
            double v = PyFloat_AS_DOUBLE(key.ptr());
            if (v >= 0.0 && v < 9.0e15 && std::floor(v) == v) i = static_cast<std::int64_t>(v);
        } else if (PyIndex_Check(key.ptr())) {
            i = as_index(key);
        } else if (PyObject_Hash(key.ptr()) == -1) {
            throw nb::python_error();  // unhashable, as for a dict
        }
        return (i >= 0 && static_cast<std::size_t>(i) < size()) ? i : -1;
    }
};

nb::object new_rates_map(std::shared_ptr<const StepRates> data, RatesMap::Column column) {
    return nb::cast(RatesMap{std::move(data), column});
}

[[noreturn]] void raise_key_error(nb::handle key) {
    PyErr_SetObject(PyExc_KeyError, key.ptr());
    throw nb::python_error();
}

// ------------------------------------------------------------ _ChainRates ---

struct ChainRates : narvo::bind::ObjectFields<9> {
    static constexpr std::array<const char*, 9> fields = {
        "next_thermal_age", "next_counters", "chain_exit", "death", "sucker",
        "sum_chain_exit", "sum_sucker", "sum_death", "sum_sucker_parous"};
};

nb::object new_chain_rates(std::shared_ptr<const StepRates> r) {
    nb::object obj = nb::inst_alloc(g_chain_rates_type);
    ChainRates* c = nb::inst_ptr<ChainRates>(obj);
    new (c) ChainRates();
    c->values = {new_rates_map(r, RatesMap::thermal_age), new_rates_map(r, RatesMap::counters),
                 new_rates_map(r, RatesMap::exit),        new_rates_map(r, RatesMap::death),
                 new_rates_map(r, RatesMap::sucker),      nb::float_(r->sum_exit),
                 nb::float_(r->sum_sucker),               nb::float_(r->sum_death),
                 nb::float_(r->sum_sucker_parous)};
    nb::inst_mark_ready(obj);
    return obj;
}

// ------------------------------------------------------- curve tables ---

// The tabulated curves a chain has used, keyed by what they were built from.
// The parameters are still read at every step; a table is reused only when
// they read the same, so its values are exactly those of a fresh curve.
class CurveCache {
public:
    enum Kind : int { rate, flowering_hazard, flowered_before, harvest_cohort_basis, harvest };
    using Key = std::array<double, 3>;

    std::shared_ptr<WeekTable> get(Kind kind, Key key) {
        for (auto& e : entries_)
            if (e.kind == kind && std::memcmp(e.key.data(), key.data(), sizeof(Key)) == 0)
                return e.table;
        if (entries_.size() >= kMaxEntries) entries_.erase(entries_.begin());
        entries_.push_back({kind, key, std::make_shared<WeekTable>(curve(kind, key))});
        return entries_.back().table;
    }

private:
    static constexpr std::size_t kMaxEntries = 16;
    struct Entry {
        Kind kind;
        Key key;
        std::shared_ptr<WeekTable> table;
    };

    static WeekTable::Curve curve(Kind kind, Key k) {
        using narvo::core::DispersionCurve;
        switch (kind) {
            case rate:
                return [c = DispersionCurve(k[0], k[1], k[2])](std::int64_t n) { return c.rate(n); };
            case flowering_hazard:
                return [c = DispersionCurve(k[0], k[1], k[2])](std::int64_t n) { return c.hazard(n); };
            case flowered_before:
                // Indexed by the flowering counter: the fraction done one week earlier.
                return [c = DispersionCurve(k[0], k[1], k[2])](std::int64_t n) {
                    // The curve is flat (nothing done) below week 0, so the one
                    // count with no predecessor takes its own value.
                    std::optional<std::int64_t> before = narvo::core::checked_sub(n, 1);
                    return c.fraction_done(before ? *before : n);
                };
            case harvest_cohort_basis:
                return [h = k[0]](std::int64_t n) {
                    return narvo::core::harvest_hazard_cohort_basis(n, h);
                };
            default:
                return [h = k[0]](std::int64_t n) { return narvo::core::harvest_hazard(n, h); };
        }
    }

    std::vector<Entry> entries_;
};

// One per-cohort lookup of the weekly step, by week count: a native table, or
// a Python callable called as fn(n + shift, *args, **kwargs).
struct StepCurve {
    std::shared_ptr<WeekTable> table;
    nb::object fn, args, kwargs;
    std::int64_t shift = 0;

    bool native() const { return table != nullptr; }

    // n + shift as a Python int, however large.
    nb::object week_count(std::int64_t n) const {
        if (std::optional<std::int64_t> v = narvo::core::checked_add(n, shift)) return nb::int_(*v);
        PyObject* r = PyNumber_Add(nb::int_(n).ptr(), nb::int_(shift).ptr());
        if (!r) throw nb::python_error();
        return nb::steal(r);
    }

    double operator()(std::int64_t n) {
        if (table) return (*table)(n);
        std::size_t extra = args.is_valid() ? nb::len(args) : 0;
        nb::object call_args = nb::steal(PyTuple_New(static_cast<Py_ssize_t>(1 + extra)));
        if (!call_args.is_valid()) throw nb::python_error();
        PyTuple_SET_ITEM(call_args.ptr(), 0, week_count(n).release().ptr());
        for (std::size_t i = 0; i < extra; ++i)
            PyTuple_SET_ITEM(call_args.ptr(), i + 1, nb::borrow(args[i]).release().ptr());
        PyObject* r = PyObject_Call(fn.ptr(), call_args.ptr(),
                                    kwargs.is_valid() ? kwargs.ptr() : nullptr);
        if (!r) throw nb::python_error();
        return as_double(nb::steal(r));
    }
};

// Curve parameters read from a parameter group, in the order given.
std::array<nb::object, 3> read_curve_params(nb::handle group) {
    return {item(group, g_names.amplitude), item(group, g_names.peak_weeks),
            item(group, g_names.spread)};
}

// The three numbers of a curve when they are numbers that describe one; the
// native functions would accept them and give exactly the table's values.
bool native_curve_key(const std::array<nb::object, 3>& p, CurveCache::Key& key) {
    for (int i = 0; i < 3; ++i)
        if (!narvo::bind::try_double(p[i], key[i])) return false;
    return narvo::core::DispersionCurve::check(key[0], key[1], key[2]) ==
           narvo::core::DispersionCurve::Fault::none;
}

// A cohort-basis profile: native when the package's own profile function
// built it from valid numbers, else the object a caller's function returned.
struct Profile {
    bool native = false;
    CurveCache::Key key{};
    nb::object obj;

    StepCurve method(CurveCache& cache, CurveCache::Kind kind, nb::handle name,
                     std::int64_t shift = 0) const {
        if (native) return StepCurve{cache.get(kind, key), {}, {}, {}, 0};
        return StepCurve{nullptr, attr(obj, name), {}, {}, shift};
    }
};

Profile build_profile(nb::handle fn, nb::handle group) {
    std::array<nb::object, 3> p = read_curve_params(group);
    Profile out;
    if (fn.is(g_dispersion.profile) && native_curve_key(p, out.key)) {
        out.native = true;
        return out;
    }
    PyObject* r = PyObject_CallFunctionObjArgs(fn.ptr(), p[0].ptr(), p[1].ptr(), p[2].ptr(), nullptr);
    if (!r) throw nb::python_error();
    out.obj = nb::steal(r);
    return out;
}

// Direct basis: `_dispersion_rate(n, amplitude=..., peak_weeks=..., spread=...)`.
StepCurve rate_curve(CurveCache& cache, nb::handle group) {
    nb::object fn = module_global("_dispersion_rate");
    std::array<nb::object, 3> p = read_curve_params(group);
    CurveCache::Key key;
    if (fn.is(g_dispersion.rate) && native_curve_key(p, key))
        return StepCurve{cache.get(CurveCache::rate, key), {}, {}, {}, 0};
    nb::dict kwargs;
    kwargs[g_names.amplitude] = p[0];
    kwargs[g_names.peak_weeks] = p[1];
    kwargs[g_names.spread] = p[2];
    return StepCurve{nullptr, fn, {}, kwargs, 0};
}

// `fn(n, hazard_weeks)` for one of the two harvest hazards.
StepCurve harvest_curve(CurveCache& cache, nb::handle params, const char* name,
                        nb::handle native_fn, CurveCache::Kind kind) {
    nb::object fn = module_global(name);
    nb::object hw = item(attr(params, g_names.harvest), g_names.hazard_weeks);
    CurveCache::Key key{0.0, 0.0, 0.0};
    if (fn.is(native_fn) && narvo::bind::try_double(hw, key[0]) &&
        narvo::core::valid_hazard_weeks(key[0]))
        return StepCurve{cache.get(kind, key), {}, {}, {}, 0};
    return StepCurve{nullptr, fn, nb::make_tuple(hw), {}, 0};
}

// ----------------------------------------------------------- CohortChain ---

// Every chain gets its own number, never reused, so that a rates record can
// tell the chain it was computed for from any other (even one later built at
// the same address).
std::uint64_t g_next_chain_id = 1;

// A chain holds the cohort objects themselves (identity is part of the
// contract) and, beside each, a pointer to its native state so that the weekly
// step reads and writes plain numbers without touching Python.
//
// Python code may run whenever an operation calls out (a parameter mapping, a
// replaced curve, a property, a finalizer run by the collector) and may change
// the list. So no operation holds positions into the list across such a call:
// each either works on a snapshot holding the cohorts or compares the list's
// generation, which every change of the list advances.
struct CohortChain {
    nb::object kind;
    nb::object params;
    std::vector<nb::object> cohorts;
    std::vector<CohortState*> states;
    CurveCache curves;
    std::uint64_t id = g_next_chain_id++;
    std::uint64_t generation = 0;

    CohortChain(nb::object kind_, nb::object params_)
        : kind(std::move(kind_)), params(std::move(params_)) {}

    // `obj` must be a constructed Cohort.
    void append(nb::object obj) {
        CohortState* s = &nb::inst_ptr<Cohort>(obj)->s;
        cohorts.push_back(std::move(obj));
        states.push_back(s);
        ++generation;
    }

    // Installs a new list. The old one is released only once the chain is
    // consistent again: dropping a cohort may run Python code (a finalizer of
    // an object its `chain` field holds) that uses this chain.
    void replace(std::vector<nb::object> new_cohorts, std::vector<CohortState*> new_states) {
        std::vector<nb::object> old = std::move(cohorts);
        cohorts = std::move(new_cohorts);
        states = std::move(new_states);
        ++generation;
    }

    // A new list of the live cohorts, filled without running any Python code.
    nb::list cohort_list() const {
        PyObject* out = PyList_New(static_cast<Py_ssize_t>(cohorts.size()));
        if (!out) throw nb::python_error();
        for (std::size_t i = 0; i < cohorts.size(); ++i)
            PyList_SET_ITEM(out, static_cast<Py_ssize_t>(i), nb::object(cohorts[i]).release().ptr());
        return nb::steal<nb::list>(out);
    }

    narvo::core::PythonSum population_sum() const {
        narvo::core::PythonSum sum;
        for (const CohortState* s : states) sum.add(s->population);
        return sum;
    }

    nb::object total_population() const {
        narvo::core::PythonSum sum = population_sum();
        if (sum.empty()) return nb::int_(0);
        return nb::float_(sum.result());
    }
};

// The cohorts a step works on, held for its duration: a caller's Python code
// that runs during the step (a replaced curve, a parameter mapping) cannot
// free them underneath it, whatever it does to the chain.
struct CohortSnapshot {
    std::vector<nb::object> objects;
    std::vector<CohortState*> states;
    explicit CohortSnapshot(const CohortChain& c) : objects(c.cohorts), states(c.states) {}
};

[[noreturn]] void raise_chain_changed(const char* operation = "weekly step") {
    narvo::bind::raise(PyExc_RuntimeError, std::string("the chain's cohorts changed while its ") +
                                               operation + " was running");
}

// The chain behind `self`, which must be a constructed CohortChain (a subclass
// whose __init__ never called CohortChain.__init__ holds no chain).
CohortChain& chain_of(nb::handle self) {
    if (!nb::isinstance<CohortChain>(self))
        narvo::bind::raise_type_error("expected a CohortChain, got " +
                                      narvo::bind::py_repr(self.type()));
    return constructed<CohortChain>(self, "CohortChain");
}

// ------------------------------------------------------------ calc_rates ---

nb::object calc_rates(CohortChain& c, double increment) {
    if (!std::isfinite(increment))
        narvo::bind::raise_value_error(
            "weekly_thermal_increment must be a finite number of degree-days, got " +
            narvo::bind::py_repr(nb::float_(increment)));
    nb::handle params = c.params;
    nb::object sucker_group = attr(params, g_names.sucker_selection);
    nb::object mortality_group = attr(params, g_names.mortality_replacement);
    nb::object flowering_group = attr(params, g_names.flowering);
    nb::object basis = item(attr(params, g_names.general), g_names.rate_basis);
    bool cohort_basis = equals(basis, g_names.cohort);
    KindTest kind = classify(c.kind);

    Profile flowering_profile, sucker_profile;
    if (cohort_basis) {
        nb::object fn = module_global("_dispersion_profile");
        flowering_profile = build_profile(fn, flowering_group);
        sucker_profile = build_profile(fn, sucker_group);
    }

    // The list is taken as it stands once the profiles are built.
    std::uint64_t generation = c.generation;
    std::size_t n = c.states.size();
    auto rates = std::make_shared<StepRates>(n);
    rates->chain_id = c.id;
    rates->generation = generation;
    if (n > 0) {
        narvo::core::StepPlan plan;
        plan.increment = increment;
        plan.thresholds = read_thresholds(params, kind);
        plan.pre_flowering = kind.pre;
        StepCurve suckers, hazard, flowered;
        if (cohort_basis && kind.pre) {
            suckers = sucker_profile.method(c.curves, CurveCache::rate, g_names.share);
            hazard = flowering_profile.method(c.curves, CurveCache::flowering_hazard, g_names.hazard);
            flowered = flowering_profile.method(c.curves, CurveCache::flowered_before,
                                                g_names.fraction_done, -1);
            plan.attributes_parous = true;
        } else if (cohort_basis) {
            plan.makes_suckers = false;
            hazard = harvest_curve(c.curves, params, "_harvest_hazard_cohort_basis",
                                   g_dispersion.harvest_cohort_basis,
                                   CurveCache::harvest_cohort_basis);
        } else {
            suckers = rate_curve(c.curves, sucker_group);
            hazard = kind.pre ? rate_curve(c.curves, flowering_group)
                              : harvest_curve(c.curves, params, "_harvest_hazard",
                                              g_dispersion.harvest, CurveCache::harvest);
        }
        plan.death_rate = as_double(item(
            mortality_group,
            kind.pre ? g_names.death_rate_vegetative : g_names.death_rate_reproductive));
        if (c.generation != generation) raise_chain_changed();

        auto unused = [](std::int64_t) { return 0.0; };
        bool native = hazard.native() && (!plan.makes_suckers || suckers.native()) &&
                      (!plan.attributes_parous || flowered.native());
        if (native) {
            // The hot path: table lookups over the chain's own states, no Python.
            WeekTable& h = *hazard.table;
            if (plan.attributes_parous)
                narvo::core::compute_rates(plan, c.states.data(), n, *suckers.table, h,
                                           *flowered.table, *rates);
            else if (plan.makes_suckers)
                narvo::core::compute_rates(plan, c.states.data(), n, *suckers.table, h, unused,
                                           *rates);
            else
                narvo::core::compute_rates(plan, c.states.data(), n, unused, h, unused, *rates);
        } else {
            CohortSnapshot snap(c);
            narvo::core::compute_rates(plan, snap.states.data(), n, suckers, hazard, flowered,
                                       *rates);
            // The rates are by position in the list they were computed over.
            if (c.generation != generation) raise_chain_changed();
        }
    }
    return new_chain_rates(std::move(rates));
}

// ---------------------------------------------------- integrate & pruning ---

struct PruneLimits {
    double age_limit, population_epsilon;
};

PruneLimits read_prune_limits(const CohortChain& c) {
    nb::object general = attr(c.params, g_names.general);
    bool pre = classify(c.kind).pre;
    nb::object limit = item(general, pre ? g_names.max_age_weeks_vegetative
                                         : g_names.max_age_weeks_reproductive);
    nb::object epsilon = item(general, g_names.population_epsilon);
    return {as_double(limit), as_double(epsilon)};
}

// The walk over the list runs no Python code; the list of removed cohorts is
// built once the chain holds its new list.
nb::list prune(CohortChain& c, std::int64_t current_week_index, PruneLimits limits) {
    std::vector<nb::object> kept, removed;
    std::vector<CohortState*> kept_states;
    kept.reserve(c.cohorts.size());
    kept_states.reserve(c.cohorts.size());
    for (std::size_t i = 0; i < c.cohorts.size(); ++i) {
        if (narvo::core::pruned(*c.states[i], current_week_index, limits.age_limit,
                                limits.population_epsilon)) {
            removed.push_back(c.cohorts[i]);
        } else {
            kept.push_back(c.cohorts[i]);
            kept_states.push_back(c.states[i]);
        }
    }
    if (!removed.empty()) c.replace(std::move(kept), std::move(kept_states));
    PyObject* out = PyList_New(static_cast<Py_ssize_t>(removed.size()));
    if (!out) throw nb::python_error();
    for (std::size_t i = 0; i < removed.size(); ++i)
        PyList_SET_ITEM(out, static_cast<Py_ssize_t>(i), removed[i].release().ptr());
    return nb::steal<nb::list>(out);
}

// Python's unpacking of an entry into exactly three values.
std::array<nb::object, 3> unpack_triple(nb::handle entry) {
    PyObject* it = PyObject_GetIter(entry.ptr());
    if (!it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            narvo::bind::raise_type_error(std::string("cannot unpack non-iterable ") +
                                          Py_TYPE(entry.ptr())->tp_name + " object");
        }
        throw nb::python_error();
    }
    nb::object iter = nb::steal(it);
    std::array<nb::object, 3> out;
    for (int k = 0; k < 4; ++k) {
        PyObject* v = PyIter_Next(iter.ptr());
        if (!v) {
            if (PyErr_Occurred()) throw nb::python_error();
            if (k < 3)
                narvo::bind::raise_value_error("not enough values to unpack (expected 3, got " +
                                               std::to_string(k) + ")");
            break;
        }
        if (k == 3) {
            Py_DECREF(v);
            narvo::bind::raise_value_error("too many values to unpack (expected 3)");
        }
        out[k] = nb::steal(v);
    }
    return out;
}

// The four maps integrate reads, as `rates` holds them.
std::array<nb::object, 4> rates_maps(nb::handle rates) {
    if (rates.type().is(g_chain_rates_type)) {
        const ChainRates& r = constructed<ChainRates>(rates, "_ChainRates");
        return {r.values[0], r.values[1], r.values[2], r.values[3]};
    }
    static const char* names[4] = {"next_thermal_age", "next_counters", "chain_exit", "death"};
    std::array<nb::object, 4> out;
    for (int k = 0; k < 4; ++k) out[k] = nb::getattr(rates, names[k]);
    return out;
}

// The maps as native views of the right columns, when they all are.
const RatesMap* native_map(nb::handle obj, bool counters) {
    if (!obj.type().is(g_rates_map_type)) return nullptr;
    const RatesMap* m = &constructed<RatesMap>(obj, "_RatesMap");
    return (m->column == RatesMap::counters) == counters ? m : nullptr;
}

// Every value integrate needs for the first n cohorts, gathered (and so
// checked) before any cohort changes.
struct GatheredRates {
    StepRates own;  // values read through Python lookups
    narvo::core::RatesArrays arrays{};
    std::array<std::shared_ptr<const StepRates>, 4> held;  // keeps native views' data alive
    // True when a map was computed by calc_rates of `chain` for another
    // state of its list than `generation`.
    bool stale_for(const CohortChain& chain, std::uint64_t generation) const {
        for (const auto& d : held)
            if (d && d->chain_id == chain.id && d->generation != generation) return true;
        return false;
    }
};

void gather_rates(nb::handle rates, std::size_t n, GatheredRates& g) {
    if (n == 0) return;
    std::array<nb::object, 4> maps = rates_maps(rates);
    const RatesMap* ta = native_map(maps[0], false);
    const RatesMap* co = native_map(maps[1], true);
    const RatesMap* ex = native_map(maps[2], false);
    const RatesMap* de = native_map(maps[3], false);
    // Native views are held (and so checked for staleness) whichever way they are read.
    g.held = {ta ? ta->data : nullptr, co ? co->data : nullptr, ex ? ex->data : nullptr,
              de ? de->data : nullptr};
    if (ta && co && ex && de && ta->size() >= n && co->size() >= n && ex->size() >= n &&
        de->size() >= n) {
        g.arrays = {ta->doubles(), co->data->wf.data(), co->data->ws.data(), co->data->wh.data(),
                    ex->doubles(), de->doubles()};
        return;
    }
    g.own = StepRates(n);
    for (std::size_t i = 0; i < n; ++i) {
        nb::int_ key(i);
        g.own.thermal_age[i] = as_double(item(maps[0], key));
        std::array<nb::object, 3> counters = unpack_triple(item(maps[1], key));
        g.own.wf[i] = as_index(counters[0]);
        g.own.ws[i] = as_index(counters[1]);
        g.own.wh[i] = as_index(counters[2]);
        g.own.exit[i] = as_double(item(maps[2], key));
        g.own.death[i] = as_double(item(maps[3], key));
    }
    g.arrays = {g.own.thermal_age.data(), g.own.wf.data(), g.own.ws.data(), g.own.wh.data(),
                g.own.exit.data(), g.own.death.data()};
}

nb::list integrate(CohortChain& c, nb::handle rates, std::int64_t current_week_index) {
    // Everything is read and checked first: a record that does not match the
    // chain, or parameters that cannot be read, leave the chain as it was.
    if (rates.type().is(g_chain_rates_type)) constructed<ChainRates>(rates, "_ChainRates");
    std::uint64_t generation = c.generation;
    std::size_t n = c.states.size();
    GatheredRates g;
    gather_rates(rates, n, g);
    if (c.generation != generation) raise_chain_changed();
    // Rates are by position: this chain's own rates from before its list
    // changed would give one cohort another's state.
    if (g.stale_for(c, generation))
        narvo::bind::raise_value_error(
            "rates were computed by calc_rates for a different state of this chain (its "
            "cohorts changed since); call calc_rates again");
    PruneLimits limits = read_prune_limits(c);
    if (c.generation != generation) raise_chain_changed();
    narvo::core::apply_rates(c.states.data(), n, g.arrays);
    return prune(c, current_week_index, limits);
}

double apply_exogenous_removal(CohortChain& c, double amount, std::int64_t current_week_index) {
    if (std::isnan(amount))
        narvo::bind::raise_value_error(
            "amount must be a number of plants to remove, got nan");
    if (amount <= 0.0) return 0.0;
    narvo::core::PythonSum sum = c.population_sum();
    double total = sum.empty() ? 0.0 : sum.result();
    if (total <= 0.0) return 0.0;
    double removed = total < amount ? total : amount;
    std::uint64_t generation = c.generation;
    PruneLimits limits = read_prune_limits(c);
    // The shares are of the total just summed, over the same list.
    if (c.generation != generation) raise_chain_changed("exogenous removal");
    narvo::core::remove_proportionally(c.states.data(), c.states.size(), removed, total);
    prune(c, current_week_index, limits);
    return removed;
}

// The rows are of the list as it stood at the call: reading a cohort's kind may
// run Python code that changes the chain.
nb::object as_dataframe(const CohortChain& c, nb::handle columns) {
    const std::vector<nb::object> snapshot = c.cohorts;
    nb::list rows;
    for (const nb::object& obj : snapshot) {
        const Cohort& k = *nb::inst_ptr<Cohort>(obj);
        nb::object chain = k.chain;
        if (PyObject_HasAttrWithError(chain.ptr(), g_names.value.ptr()) == 1)
            chain = attr(chain, g_names.value);
        else if (PyErr_Occurred())
            throw nb::python_error();
        rows.append(nb::make_tuple(chain, k.s.birth_week_index, k.s.population, k.s.thermal_age,
                                   k.s.weeks_since_flowering_threshold,
                                   k.s.weeks_since_sucker_threshold,
                                   k.s.weeks_since_harvest_threshold));
    }
    nb::object frame = narvo::bind::import_attr("pandas", "DataFrame");
    return frame(rows, "columns"_a = nb::list(columns));
}

// --------------------------------------------------------------- seeding ---

// Weekly increments of a provider: from its native table when it is exactly
// the package's own provider, else through its thermal_increment method.
class Increments {
public:
    explicit Increments(nb::handle weather)
        : weather_(weather), table_(narvo::bind::native_weekly_table(weather)) {}

    const narvo::core::WeeklyTable* table() const { return table_; }

    std::int64_t min_week_index() const {
        if (table_) return table_->first_week;
        return as_index(nb::getattr(weather_, "min_week_index"));
    }

    double operator()(std::int64_t week) const {
        if (table_) {
            if (!table_->has(week)) raise_outside(week);
            return table_->at(week);
        }
        if (!method_.is_valid()) method_ = nb::getattr(weather_, "thermal_increment");
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
    const narvo::core::WeeklyTable* table_;
    mutable nb::object method_;
};

// The thresholds are read once the first week's increment is known, as the
// one-week step reads them after its increment was looked up.
struct LazyThresholds {
    nb::handle params;
    KindTest kind;
    bool read = false;
    narvo::core::Thresholds t;
    const narvo::core::Thresholds& get() {
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
    narvo::core::ThermalState t;
    if (target > birth) {
        if (const narvo::core::WeeklyTable* table = increments.table()) {
            // Native provider: check coverage once, then step straight through it.
            std::int64_t first = birth + 1;
            std::optional<std::int64_t> missing =
                narvo::core::first_uncovered_week(*table, first, target);
            if (missing == first) increments(first);  // raises the provider's WeatherError
            const narvo::core::Thresholds& th = thresholds.get();
            t = narvo::core::replay_weeks(t, *table, first, missing ? *missing - 1 : target, th);
            if (missing) increments(*missing);
        } else {
            for (std::int64_t w = birth + 1;; ++w) {
                double inc = increments(w);
                t = narvo::core::advance(t, inc, thresholds.get());
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


// The text of a chain kind in messages: its value for a ChainKind.
std::string kind_text(nb::handle kind) {
    if (PyObject_HasAttrWithError(kind.ptr(), g_names.value.ptr()) == 1)
        return narvo::bind::py_str(attr(kind, g_names.value));
    if (PyErr_Occurred()) throw nb::python_error();
    return narvo::bind::py_str(kind);
}

// The smallest start week whose first replay week a row of this age would
// find covered: age + covered_from - 1, in Python's integers.
std::string suggested_start(nb::handle age, std::int64_t covered_from) {
    nb::object sum = nb::steal(PyNumber_Add(age.ptr(), nb::int_(covered_from).ptr()));
    if (!sum.is_valid()) throw nb::python_error();
    nb::object r = nb::steal(PyNumber_Subtract(sum.ptr(), nb::int_(1).ptr()));
    if (!r.is_valid()) throw nb::python_error();
    return narvo::bind::py_str(r);
}

// A seed row's age: its cell as an integer (a fractional number truncates).
// A boolean is not a number of weeks, though Python would count True as 1.
nb::object seed_age(nb::handle cell, nb::handle kind) {
    if (PyBool_Check(cell.ptr()))
        narvo::bind::raise(g_cohort_chain_error,
                           "seed row with age_weeks=" + narvo::bind::py_repr(cell) +
                               " for chain=" + kind_text(kind) +
                               " has a boolean age; expected a whole number of weeks");
    PyObject* r = PyNumber_Long(cell.ptr());
    if (!r) throw nb::python_error();
    return nb::steal(r);
}

// The birth week current_week_index - age, which must be a week index.
std::int64_t seed_birth(std::int64_t current_week_index, nb::handle age, nb::handle kind) {
    int overflow = 0;
    long long a = PyLong_AsLongLongAndOverflow(age.ptr(), &overflow);
    if (a == -1 && PyErr_Occurred()) throw nb::python_error();
    if (!overflow)
        if (std::optional<std::int64_t> b = narvo::core::checked_sub(current_week_index, a))
            return *b;
    nb::object b = nb::steal(PyNumber_Subtract(nb::int_(current_week_index).ptr(), age.ptr()));
    if (!b.is_valid()) throw nb::python_error();
    long long birth = PyLong_AsLongLongAndOverflow(b.ptr(), &overflow);
    if (birth == -1 && PyErr_Occurred()) throw nb::python_error();
    if (!overflow) return birth;
    narvo::bind::raise(PyExc_OverflowError,
                       "seed row with age_weeks=" + narvo::bind::py_str(age) + " for chain=" +
                           kind_text(kind) + " implies birth_week_index=" +
                           narvo::bind::py_str(b) + ", outside the range of week indices");
}

nb::object replay_cohort_history(nb::handle chain, std::int64_t birth_week_index,
                                 double population, std::int64_t target_week_index,
                                 nb::handle weather, nb::handle params) {
    Increments increments(weather);
    LazyThresholds thresholds{params, classify(chain)};
    return new_cohort(chain, replay(birth_week_index, population, target_week_index, increments,
                                    thresholds));
}

// A seed table's column as a list of cells, in table order.
nb::object column_cells(nb::handle rows, nb::handle columns, const char* field) {
    return item(rows, nb::getattr(columns, field)).attr("tolist")();
}

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
        LazyThresholds thresholds{params, classify(kind)};
        std::unordered_set<std::int64_t> births;
        // The last replay week; none below the smallest week index, when no
        // row can have a week to replay.
        std::optional<std::int64_t> target = narvo::core::checked_sub(current_week_index, 1);
        for (std::size_t i = 0; i < n; ++i) {
            double p = narvo::bind::as_float(populations[i]);
            nb::object age = seed_age(ages[i], kind);
            std::int64_t b = seed_birth(current_week_index, age, kind);
            std::string a = narvo::bind::py_str(age);
            if (std::isnan(p))
                narvo::bind::raise(g_cohort_chain_error,
                                   "seed row with age_weeks=" + a + " for chain=" +
                                       kind_text(kind) +
                                       " has population nan; expected a number of plants");
            if (!births.insert(b).second)
                narvo::bind::raise(
                    g_cohort_chain_error,
"duplicate cohort at birth_week_index=" + std::to_string(b) + " (age_weeks=" +
                        a + ") for chain=" + kind_text(kind) +
                        " in this inventory -- pre-aggregate rows that imply the same (chain, "
                        "birth_week_index) before constructing NarvoPopEngine");
            if (target && b < *target) {
                std::int64_t first = b + 1;
                std::int64_t covered_from = increments.min_week_index();
                if (first < covered_from)
                    narvo::bind::raise(
                        g_cohort_chain_error,
                        "seed row with age_weeks=" + a + " for chain=" +
                            kind_text(kind) + " implies birth_week_index=" + std::to_string(b) +
                            "; reconstructing its thermal history needs weather data back to "
                            "week_index " +
                            std::to_string(first) +
                            ", before the weather data's coverage starts at week_index " +
                            std::to_string(covered_from) + ". Raise start_week_index to at least " +
                            suggested_start(age, covered_from) +
                            ", or construct WeatherProvider with weather data and an explicit "
                            "run_start_date extending back far enough.");
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

// Pickling: the constructor's arguments, then the cohorts (and a Python
// subclass's own attributes) as state.
nb::object chain_reduce(nb::handle self) {
    const CohortChain& c = chain_of(self);
    nb::object dict = nb::none();
    if (PyObject_HasAttrStringWithError(self.ptr(), "__dict__") == 1)
        dict = nb::getattr(self, "__dict__");
    else if (PyErr_Occurred())
        throw nb::python_error();
    return nb::make_tuple(nb::borrow(self.type()), nb::make_tuple(c.kind, c.params),
                          nb::make_tuple(c.cohort_list(), dict));
}

void chain_setstate(nb::handle self, nb::handle state) {
    chain_of(self);
    if (!nb::isinstance<nb::tuple>(state) || nb::len(state) != 2)
        narvo::bind::raise_type_error("CohortChain state must be a (cohorts, attributes) tuple");
    nb::tuple t = nb::borrow<nb::tuple>(state);
    std::vector<nb::object> cohorts;
    std::vector<CohortState*> states;
    for (nb::handle obj : nb::iter(t[0])) {
        if (!nb::isinstance<Cohort>(obj))
            narvo::bind::raise_type_error("CohortChain state holds a non-Cohort: " +
                                          narvo::bind::py_repr(obj));
        states.push_back(&constructed<Cohort>(obj, "Cohort").s);
        cohorts.push_back(nb::borrow(obj));
    }
    if (!t[1].is_none()) nb::getattr(self, "__dict__").attr("update")(t[1]);
    // Looked up again: the update above ran Python code.
    chain_of(self).replace(std::move(cohorts), std::move(states));
}

}  // namespace

NB_MODULE(cohorts, m) {
    m.doc() =
        "Cohorts of plants and the two chains they live in (before and after flowering),\n"
        "with the weekly step that ages cohorts, moves plants out of a chain and prunes it.\n\n"
        "The weekly step uses the module's dispersion functions (``_dispersion_profile``,\n"
        "``_dispersion_rate``, ``_harvest_hazard_cohort_basis``, ``_harvest_hazard``,\n"
        "imported from py_narvo_pop.dispersion). They are looked up at every step: a caller\n"
        "may replace them with its own, and while they are the package's own the step\n"
        "computes them natively.";

    g_module_dict = m.attr("__dict__");
    g_cohort_chain_error =
        narvo::bind::keep(narvo::bind::import_attr("py_narvo_pop.exceptions", "CohortChainError"));
    g_names = {intern("general"),
               intern("flowering"),
               intern("sucker_selection"),
               intern("harvest"),
               intern("mortality_replacement"),
               intern("rate_basis"),
               intern("cohort"),
               intern("threshold_dd"),
               intern("amplitude"),
               intern("peak_weeks"),
               intern("spread"),
               intern("hazard_weeks"),
               intern("death_rate_vegetative"),
               intern("death_rate_reproductive"),
               intern("max_age_weeks_vegetative"),
               intern("max_age_weeks_reproductive"),
               intern("population_epsilon"),
               intern("share"),
               intern("hazard"),
               intern("fraction_done"),
               intern("value")};

    nb::module_ dispersion = nb::module_::import_("py_narvo_pop.dispersion");
    const char* dispersion_names[4] = {"_dispersion_profile", "_dispersion_rate",
                                       "_harvest_hazard_cohort_basis", "_harvest_hazard"};
    nb::handle* natives[4] = {&g_dispersion.profile, &g_dispersion.rate,
                              &g_dispersion.harvest_cohort_basis, &g_dispersion.harvest};
    for (int k = 0; k < 4; ++k) {
        nb::object fn = dispersion.attr(dispersion_names[k]);
        m.attr(dispersion_names[k]) = fn;
        *natives[k] = narvo::bind::keep(fn);
    }

    nb::object chain_kind = narvo::bind::make_str_enum(
        m, "ChainKind",
        {{"PRE_FLOWERING", "pre_flowering"}, {"POST_FLOWERING", "post_flowering"}},
        "The two chains of the population: plants before flowering (vegetative) and\n"
        "plants after flowering awaiting harvest (reproductive).");
    g_pre = narvo::bind::keep(chain_kind.attr("PRE_FLOWERING"));
    g_post = narvo::bind::keep(chain_kind.attr("POST_FLOWERING"));

    nb::tuple cohort_columns = nb::make_tuple(
        "chain", "birth_week_index", "population", "thermal_age",
        "weeks_since_flowering_threshold", "weeks_since_sucker_threshold",
        "weeks_since_harvest_threshold");
    m.attr("_COHORT_COLUMNS") = cohort_columns;

    // Cohort: mutable record, value equality, unhashable.
    auto cohort = nb::class_<Cohort>(
        m, "Cohort",
        "All plants that entered a chain in the same model week.\n\n"
        "A mutable record: the chain updates these fields in place, so a caller holding\n"
        "a cohort sees every later change.");
    cohort.def(
        "__init__",
        [](Cohort* self, nb::object chain, std::int64_t birth_week_index, double population,
           double thermal_age, std::int64_t wf, std::int64_t ws, std::int64_t wh) {
            new (self) Cohort{std::move(chain),
                              CohortState{birth_week_index, population, thermal_age, wf, ws, wh}};
        },
        "chain"_a.none(), "birth_week_index"_a, "population"_a, "thermal_age"_a = 0.0,
        "weeks_since_flowering_threshold"_a = 0, "weeks_since_sucker_threshold"_a = 0,
        "weeks_since_harvest_threshold"_a = 0,
        nb::sig("def __init__(self, chain: ChainKind, birth_week_index: int, population: float, "
                "thermal_age: float = 0.0, weeks_since_flowering_threshold: int = 0, "
                "weeks_since_sucker_threshold: int = 0, weeks_since_harvest_threshold: int = 0) "
                "-> None"));
    cohort.def_prop_rw(
        "chain", [](const Cohort& c) { return c.chain; },
        [](Cohort& c, nb::object v) { c.chain = std::move(v); },
        nb::for_getter(nb::sig("def chain(self, /) -> ChainKind")),
        nb::for_setter(nb::sig("def chain(self, value: ChainKind, /) -> None")));
    cohort.def_prop_rw(
        "birth_week_index", [](const Cohort& c) { return c.s.birth_week_index; },
        [](Cohort& c, std::int64_t v) { c.s.birth_week_index = v; });
    cohort.def_prop_rw(
        "population", [](const Cohort& c) { return c.s.population; },
        [](Cohort& c, double v) { c.s.population = v; });
    cohort.def_prop_rw(
        "thermal_age", [](const Cohort& c) { return c.s.thermal_age; },
        [](Cohort& c, double v) { c.s.thermal_age = v; });
    cohort.def_prop_rw(
        "weeks_since_flowering_threshold",
        [](const Cohort& c) { return c.s.weeks_since_flowering_threshold; },
        [](Cohort& c, std::int64_t v) { c.s.weeks_since_flowering_threshold = v; });
    cohort.def_prop_rw(
        "weeks_since_sucker_threshold",
        [](const Cohort& c) { return c.s.weeks_since_sucker_threshold; },
        [](Cohort& c, std::int64_t v) { c.s.weeks_since_sucker_threshold = v; });
    cohort.def_prop_rw(
        "weeks_since_harvest_threshold",
        [](const Cohort& c) { return c.s.weeks_since_harvest_threshold; },
        [](Cohort& c, std::int64_t v) { c.s.weeks_since_harvest_threshold = v; });
    cohort.def(
        "age_weeks",
        [](const Cohort& c, std::int64_t current_week_index) -> nb::object {
            narvo::core::WeekDifference d = c.s.age_weeks(current_week_index);
            if (d.negative) {
                // -magnitude, which for the largest magnitudes is below -2**63.
                nb::object m = nb::steal(PyLong_FromUnsignedLongLong(d.magnitude));
                if (!m.is_valid()) throw nb::python_error();
                PyObject* r = PyNumber_Negative(m.ptr());
                if (!r) throw nb::python_error();
                return nb::steal(r);
            }
            PyObject* r = PyLong_FromUnsignedLongLong(d.magnitude);
            if (!r) throw nb::python_error();
            return nb::steal(r);
        },
        "current_week_index"_a,
        nb::sig("def age_weeks(self, current_week_index: int) -> int"),
        "Weeks from the cohort's birth week to ``current_week_index`` (negative before birth).");
    narvo::bind::add_record_protocol(
        cohort,
        {{{"chain", "ChainKind"},
          {"birth_week_index", "int"},
          {"population", "float"},
          {"thermal_age", "float"},
          {"weeks_since_flowering_threshold", "int"},
          {"weeks_since_sucker_threshold", "int"},
          {"weeks_since_harvest_threshold", "int"}}},
        {.frozen = false, .hashable = false, .field_properties = false});
    g_cohort_type = cohort;

    // CohortColumnMap: immutable, hashable.
    auto colmap = nb::class_<CohortColumnMap>(
        m, "CohortColumnMap", "Names of the population and age columns of a seed table.");
    colmap.def(
        "__init__",
        [](CohortColumnMap* self, nb::object chain, nb::object population, nb::object age_weeks) {
            new (self) CohortColumnMap();
            self->values = {std::move(chain), std::move(population), std::move(age_weeks)};
        },
        "chain"_a = "chain", "population"_a = "population", "age_weeks"_a = "age_weeks",
        nb::sig("def __init__(self, chain: str = 'chain', population: str = 'population', "
                "age_weeks: str = 'age_weeks') -> None"));
    narvo::bind::add_record_protocol(
        colmap, {{{"chain", "str"}, {"population", "str"}, {"age_weeks", "str"}}});

    // _RatesMap: read-only view of one column of a week's rates.
    auto rates_map = nb::class_<RatesMap>(
        m, "_RatesMap",
        "One column of a week's rates by cohort position: a read-only mapping over the\n"
        "numbers the weekly step computed.");
    rates_map.def("__len__", [](const RatesMap& r) { return r.size(); });
    rates_map.def(
        "__getitem__",
        [](const RatesMap& r, nb::handle key) {
            std::int64_t i = r.position(key);
            if (i < 0) raise_key_error(key);
            return r.at(static_cast<std::size_t>(i));
        },
        "key"_a.none(), nb::sig("def __getitem__(self, key: int, /) -> typing.Any"));
    rates_map.def(
        "__iter__",
        [](const RatesMap& r) {
            return nb::iter(nb::borrow(reinterpret_cast<PyObject*>(&PyRange_Type))(r.size()));
        },
        nb::sig("def __iter__(self) -> typing.Iterator[int]"));
    rates_map.def(
        "__contains__", [](const RatesMap& r, nb::handle key) { return r.position(key) >= 0; },
        "key"_a.none(), nb::sig("def __contains__(self, key: object, /) -> bool"));
    rates_map.def(
        "get",
        [](const RatesMap& r, nb::handle key, nb::handle fallback) -> nb::object {
            std::int64_t i = r.position(key);
            if (i < 0) return nb::borrow(fallback);
            return r.at(static_cast<std::size_t>(i));
        },
        "key"_a.none(), "default"_a.none() = nb::none(),
        nb::sig("def get(self, key: int, default: typing.Any = None, /) -> typing.Any"));
    rates_map.def("__repr__", [](nb::handle self) {
        nb::object as_dict = nb::borrow(reinterpret_cast<PyObject*>(&PyDict_Type))(self.attr("items")());
        return narvo::bind::py_repr(as_dict);
    });
    rates_map.def("__reduce__", [](nb::handle self) {
        return nb::make_tuple(nb::borrow(reinterpret_cast<PyObject*>(&PyDict_Type)),
                              nb::make_tuple(nb::list(self.attr("items")())));
    });
    {
        nb::object mapping = narvo::bind::import_attr("collections.abc", "Mapping");
        for (const char* name : {"keys", "items", "values", "__eq__"})
            nb::setattr(rates_map, name, mapping.attr(name));
        nb::setattr(rates_map, "__hash__", nb::none());
        mapping.attr("register")(rates_map);
    }
    g_rates_map_type = rates_map;

    // _ChainRates: immutable record of one week's rates.
    auto chain_rates = nb::class_<ChainRates>(
        m, "_ChainRates",
        "One week's rates of a chain, by cohort position in the chain's list as it stood\n"
        "when they were computed: new thermal ages and counters (flowering, sucker,\n"
        "harvest), plants leaving the chain, deaths and suckers, and their sums.");
    chain_rates.def(
        "__init__",
        [](ChainRates* self, nb::handle next_thermal_age, nb::handle next_counters,
           nb::handle chain_exit, nb::handle death, nb::handle sucker, nb::handle sum_chain_exit,
           nb::handle sum_sucker, nb::handle sum_death, nb::handle sum_sucker_parous) {
            new (self) ChainRates();
            self->values = {nb::borrow(next_thermal_age), nb::borrow(next_counters),
                            nb::borrow(chain_exit),       nb::borrow(death),
                            nb::borrow(sucker),           nb::borrow(sum_chain_exit),
                            nb::borrow(sum_sucker),       nb::borrow(sum_death),
                            nb::borrow(sum_sucker_parous)};
        },
        "next_thermal_age"_a.none(), "next_counters"_a.none(), "chain_exit"_a.none(),
        "death"_a.none(), "sucker"_a.none(), "sum_chain_exit"_a.none(), "sum_sucker"_a.none(),
        "sum_death"_a.none(), "sum_sucker_parous"_a.none() = 0.0,
        nb::sig("def __init__(self, next_thermal_age: collections.abc.Mapping[int, float], "
                "next_counters: collections.abc.Mapping[int, tuple[int, int, int]], "
                "chain_exit: collections.abc.Mapping[int, float], "
                "death: collections.abc.Mapping[int, float], "
                "sucker: collections.abc.Mapping[int, float], sum_chain_exit: float, "
                "sum_sucker: float, sum_death: float, sum_sucker_parous: float = 0.0) -> None"));
    narvo::bind::add_record_protocol(
        chain_rates, {{{"next_thermal_age", "collections.abc.Mapping[int, float]"},
                       {"next_counters", "collections.abc.Mapping[int, tuple[int, int, int]]"},
                       {"chain_exit", "collections.abc.Mapping[int, float]"},
                       {"death", "collections.abc.Mapping[int, float]"},
                       {"sucker", "collections.abc.Mapping[int, float]"},
                       {"sum_chain_exit", "float"},
                       {"sum_sucker", "float"},
                       {"sum_death", "float"},
                       {"sum_sucker_parous", "float"}}});
    g_chain_rates_type = chain_rates;

    // CohortChain: ordinary, subclassable class.
    auto chain = nb::class_<CohortChain>(
        m, "CohortChain",
        "An ordered list of cohorts of one ChainKind, advanced week by week.\n\n"
        "The chain holds its parameter set by reference and never changes it; any object\n"
        "whose groups (general, flowering, sucker_selection, harvest, mortality_replacement)\n"
        "are mappings serves as the parameter set. Parameters are read at every use.");
    chain.def(
        "__init__",
        [](CohortChain* self, nb::object kind, nb::object params) {
            new (self) CohortChain(std::move(kind), std::move(params));
        },
        "kind"_a.none(), "params"_a.none(),
        nb::sig("def __init__(self, kind: ChainKind, params: typing.Any) -> None"));
    chain.def_prop_ro(
        "kind", [](const CohortChain& c) { return c.kind; },
        nb::sig("def kind(self, /) -> ChainKind"));
    chain.def_prop_ro(
        "_params", [](const CohortChain& c) { return c.params; },
        nb::sig("def _params(self, /) -> typing.Any"));
    chain.def_prop_ro(
        "_cohorts", [](const CohortChain& c) { return c.cohort_list(); },
        nb::sig("def _cohorts(self, /) -> list[Cohort]"),
        "The chain's cohorts in insertion order (a new list holding the live cohorts).");
    chain.def(
        "add_new_cohort",
        [](CohortChain& c, double population, std::int64_t birth_week_index) -> nb::object {
            if (std::isnan(population))
                narvo::bind::raise_value_error(
                    "population must be a number, got nan; a cohort of NaN plants would make "
                    "every later total NaN");
            if (!(population > 0.0)) return nb::none();
            nb::object obj = new_cohort(c.kind, CohortState{birth_week_index, population});
            c.append(obj);
            return obj;
        },
        "population"_a, "birth_week_index"_a,
        nb::sig("def add_new_cohort(self, population: float, birth_week_index: int) -> Cohort | None"),
        "Append a new cohort of ``population`` plants born in ``birth_week_index`` and return it.\n\n"
        "A population of 0.0 or less adds nothing and returns None; NaN raises ValueError.");
    chain.def("__len__", [](const CohortChain& c) { return c.cohorts.size(); });
    chain.def(
        "__iter__", [](const CohortChain& c) { return nb::iter(c.cohort_list()); },
        nb::sig("def __iter__(self) -> typing.Iterator[Cohort]"));
    chain.def(
        "total_population", [](const CohortChain& c) { return c.total_population(); },
        nb::sig("def total_population(self) -> float"),
        "Sum of the cohorts' populations, in list order (0 for an empty chain).");
    chain.def(
        "calc_rates", &calc_rates, "weekly_thermal_increment"_a,
        nb::sig("def calc_rates(self, weekly_thermal_increment: float) -> _ChainRates"),
        "This week's rates of every cohort, changing nothing.\n\n"
        "Each cohort ages by ``weekly_thermal_increment`` degree-days and its threshold\n"
        "counters advance; then its exits (flowering or harvest), deaths and suckers follow\n"
        "from the dispersion curves and the death rate. A NaN or infinite increment raises\n"
        "ValueError.");
    chain.def(
        "integrate", &integrate, "rates"_a.none(), "current_week_index"_a,
        nb::sig("def integrate(self, rates: _ChainRates, current_week_index: int) -> list[Cohort]"),
        "Apply this week's ``rates`` to every cohort, then prune; returns the cohorts pruned.\n\n"
        "The record is read and checked in full first: one that does not match the chain\n"
        "(a missing position, a counters entry that is not a triple) raises and leaves the\n"
        "chain unchanged, as does a parameter the pruning step cannot read.");
    chain.def(
        "_prune_cohorts",
        [](CohortChain& c, std::int64_t current_week_index) {
            return prune(c, current_week_index, read_prune_limits(c));
        },
        "current_week_index"_a,
        nb::sig("def _prune_cohorts(self, current_week_index: int) -> list[Cohort]"),
        "Remove cohorts below population_epsilon or older than the chain's age limit;\n"
        "returns them in their former order.");
    chain.def(
        "apply_exogenous_removal", &apply_exogenous_removal, "amount"_a, "current_week_index"_a,
        "Remove ``amount`` plants (at most all of them) spread over the cohorts in\n"
        "proportion to their populations, then prune; returns the plants removed.\n\n"
        "A request of 0.0 or less, or an empty chain, removes nothing and returns 0.0;\n"
        "NaN raises ValueError.");
    chain.def(
        "as_dataframe",
        [cohort_columns](const CohortChain& c) { return as_dataframe(c, cohort_columns); },
        nb::sig("def as_dataframe(self) -> pandas.DataFrame"),
        "The chain's cohorts as a table, one row per cohort in list order, with the\n"
        "columns of _COHORT_COLUMNS.");
    chain.def("__reduce__", &chain_reduce);
    chain.def("__setstate__", &chain_setstate, "state"_a.none());
    nb::object default_columns = nb::inst_alloc(colmap);
    new (nb::inst_ptr<CohortColumnMap>(default_columns)) CohortColumnMap();
    nb::inst_ptr<CohortColumnMap>(default_columns)->values = {
        nb::str("chain"), nb::str("population"), nb::str("age_weeks")};
    nb::inst_mark_ready(default_columns);
    narvo::bind::add_classmethod(
        chain, "from_dataframe",
        nb::cpp_function(
            &from_dataframe, "cls"_a, "rows"_a.none(), "kind"_a.none(), "current_week_index"_a,
            "weather"_a.none(), "params"_a.none(), "columns"_a.none() = default_columns,
            nb::name("from_dataframe"), nb::scope(chain),
            nb::sig("def from_dataframe(cls, rows: pandas.DataFrame, kind: ChainKind, "
                    "current_week_index: int, weather: typing.Any, params: typing.Any, "
                    "columns: CohortColumnMap = CohortColumnMap()) -> typing.Self"),
            "A chain of ``kind`` seeded from a table: one cohort per row, in table order.\n\n"
            "Each row's ``columns.population`` cell gives the cohort's plants (a negative\n"
            "count seeds an empty cohort) and its ``columns.age_weeks`` cell, cut to a whole\n"
            "number, its age at ``current_week_index``. The cohort's thermal age and\n"
            "threshold counters are replayed from ``weather.thermal_increment`` for every\n"
            "week from its birth to the week before ``current_week_index``. Two rows of the\n"
            "same age, or a row older than the weather data reaches back, raise\n"
            "CohortChainError."));
    chain.def("__repr__", [](nb::handle self) {
        const CohortChain& c = chain_of(self);
        std::string name = nb::borrow<nb::str>(nb::getattr(self.type(), "__qualname__")).c_str();
        return name + "(kind=" + narvo::bind::py_repr(c.kind) + ", cohorts=" +
               std::to_string(c.cohorts.size()) + ", total_population=" +
               narvo::bind::py_repr(c.total_population()) + ")";
    });

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
            narvo::core::ThermalState t = narvo::core::advance(
                {thermal_age, wf, ws, wh}, increment, read_thresholds(params, classify(chain)));
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
