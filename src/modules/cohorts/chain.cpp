#include "modules/cohorts/chain.hpp"

#include "core/pysum.hpp"
#include "modules/cohorts/rates.hpp"

#include <cmath>
#include <cstring>
#include <string>

namespace narvo::cohorts {

using narvo::bind::as_double;
using narvo::bind::as_index;
using narvo::bind::item;

namespace {

// Every chain gets its own number, never reused, so that a rates record can
// tell the chain it was computed for from any other (even one later built at
// the same address).
std::uint64_t g_next_chain_id = 1;

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

narvo::core::PythonSum population_sum(const CohortChain& c) {
    narvo::core::PythonSum sum;
    for (const CohortState* s : c.states) sum.add(s->population);
    return sum;
}

// The module global `name` is exactly `native` (looked up without raising).
bool global_is(nb::handle name, nb::handle native) {
    PyObject* r = nullptr;
    if (PyDict_GetItemRef(g.module_dict.ptr(), name.ptr(), &r) < 0) {
        PyErr_Clear();
        return false;
    }
    bool same = r == native.ptr();
    Py_XDECREF(r);
    return same;
}

std::optional<NativeStep> make_native_step(CohortChain& c) {
    KindTest kind;
    if (c.kind.is(g.pre)) kind.pre = true;
    else if (c.kind.is(g.post)) kind.post = true;
    else return std::nullopt;
    std::optional<ResolvedParams> p = resolve_params(c.params, kind);
    if (!p) return std::nullopt;
    NativeStep s{kind, *p, {}, {}, {}, {}, {}, {}, 0};
    s.plan.thresholds = p->thresholds;
    s.plan.pre_flowering = kind.pre;
    s.plan.death_rate = p->death_rate;
    const Names& n = g.names;
    const NativeDispersion& d = g.dispersion;
    if (p->cohort_basis) {
        s.global[0] = n.dispersion_profile;
        s.native[0] = d.profile;
        if (kind.pre) {
            s.plan.attributes_parous = true;
            s.suckers = curve_cache().get(CurveCache::rate, p->sucker);
            s.hazard = curve_cache().get(CurveCache::flowering_hazard, p->flowering);
            s.flowered = curve_cache().get(CurveCache::flowered_before, p->flowering);
        } else {
            s.plan.makes_suckers = false;
            s.global[1] = n.harvest_hazard_cohort_basis;
            s.native[1] = d.harvest_cohort_basis;
            s.hazard = curve_cache().get(CurveCache::harvest_cohort_basis, p->harvest);
        }
    } else {
        s.global[0] = n.dispersion_rate;
        s.native[0] = d.rate;
        s.suckers = curve_cache().get(CurveCache::rate, p->sucker);
        if (kind.pre) {
            s.hazard = curve_cache().get(CurveCache::rate, p->flowering);
        } else {
            s.global[1] = n.harvest_hazard;
            s.native[1] = d.harvest;
            s.hazard = curve_cache().get(CurveCache::harvest, p->harvest);
        }
    }
    return s;
}

}  // namespace

bool NativeStep::globals_unchanged() const {
    if (g.globals_watched && checked_epoch == g.globals_epoch) return true;
    for (int k = 0; k < 2; ++k)
        if (global[k].is_valid() && !global_is(global[k], native[k])) return false;
    checked_epoch = g.globals_epoch;
    return true;
}

// ----------------------------------------------------------- CohortChain ---

CohortChain::CohortChain(nb::object kind_, nb::object params_)
    : kind(std::move(kind_)), params(std::move(params_)), id(g_next_chain_id++) {}

void CohortChain::append(nb::object obj) {
    CohortState* s = &nb::inst_ptr<Cohort>(obj)->s;
    cohorts.push_back(std::move(obj));
    states.push_back(s);
    ++generation;
}

void CohortChain::replace(std::vector<nb::object> new_cohorts,
                          std::vector<CohortState*> new_states) {
    std::vector<nb::object> old = std::move(cohorts);
    cohorts = std::move(new_cohorts);
    states = std::move(new_states);
    ++generation;
}

nb::list CohortChain::cohort_list() const {
    // Sized first: filling it allocates nothing, so no collection (and no
    // finalizer that might change this chain) runs while the loop reads it.
    nb::list out = nb::steal<nb::list>(PyList_New(static_cast<Py_ssize_t>(cohorts.size())));
    if (!out.is_valid()) throw nb::python_error();
    for (std::size_t i = 0; i < cohorts.size(); ++i)
        PyList_SET_ITEM(out.ptr(), static_cast<Py_ssize_t>(i), nb::object(cohorts[i]).release().ptr());
    return out;
}

nb::object CohortChain::total_population() const {
    narvo::core::PythonSum sum = population_sum(*this);
    if (sum.empty()) return nb::int_(0);
    return nb::float_(sum.result());
}

const ResolvedParams* CohortChain::resolved() {
    if (!native_step_tried) {
        native_step_tried = true;
        native_step = make_native_step(*this);
    }
    return native_step ? &native_step->params : nullptr;
}

const NativeStep* CohortChain::native() {
    if (resolved() && native_step->globals_unchanged()) return &*native_step;
    return nullptr;
}

CohortChain& chain_of(nb::handle self) {
    if (!nb::isinstance<CohortChain>(self))
        narvo::bind::raise_type_error("expected a CohortChain, got " +
                                      narvo::bind::py_repr(self.type()));
    return constructed<CohortChain>(self, "CohortChain");
}

// ------------------------------------------------------------ calc_rates ---

namespace {

std::shared_ptr<StepRates> new_step_rates(CohortChain& c) {
    std::shared_ptr<StepRates> rates;
    // Reused only when nothing else (a record, a map) still holds it.
    if (c.last_rates && c.last_rates.use_count() == 1 && c.last_rates->reuse_for(c.states.size()))
        rates = c.last_rates;
    else
        rates = c.last_rates = std::make_shared<StepRates>(c.states.size());
    rates->chain_id = c.id;
    rates->generation = c.generation;
    return rates;
}

// The step of a resolved chain: table lookups over the chain's own states.
nb::object calc_rates_native(CohortChain& c, const NativeStep& s, double increment) {
    std::shared_ptr<StepRates> rates = new_step_rates(c);
    std::size_t n = c.states.size();
    if (n > 0) {
        core::StepPlan plan = s.plan;
        plan.increment = increment;
        auto unused = [](std::int64_t) { return 0.0; };
        WeekTable::Cursor h(*s.hazard);
        if (plan.attributes_parous) {
            WeekTable::Cursor suckers(*s.suckers), flowered(*s.flowered);
            core::compute_rates(plan, c.states.data(), n, suckers, h, flowered, *rates);
        } else if (plan.makes_suckers) {
            WeekTable::Cursor suckers(*s.suckers);
            core::compute_rates(plan, c.states.data(), n, suckers, h, unused, *rates);
        } else {
            core::compute_rates(plan, c.states.data(), n, unused, h, unused, *rates);
        }
    }
    return new_chain_rates(std::move(rates));
}

// Any parameter set, any dispersion functions: every value read through the
// Python protocols, in the order the step reads them.
nb::object calc_rates_python(CohortChain& c, double increment) {
    const Names& nm = g.names;
    nb::handle params = c.params;
    nb::object sucker_group = nb::getattr(params, nm.sucker_selection);
    nb::object mortality_group = nb::getattr(params, nm.mortality_replacement);
    nb::object flowering_group = nb::getattr(params, nm.flowering);
    nb::object basis = item(nb::getattr(params, nm.general), nm.rate_basis);
    bool cohort_basis = equals(basis, nm.cohort);
    KindTest kind = classify(c.kind);

    Profile flowering_profile, sucker_profile;
    if (cohort_basis) {
        nb::object fn = module_global(nm.dispersion_profile);
        flowering_profile = build_profile(fn, flowering_group);
        sucker_profile = build_profile(fn, sucker_group);
    }

    // The list is taken as it stands once the profiles are built.
    std::uint64_t generation = c.generation;
    std::shared_ptr<StepRates> rates = new_step_rates(c);
    std::size_t n = rates->size();
    if (n == 0) return new_chain_rates(std::move(rates));

    core::StepPlan plan;
    plan.increment = increment;
    plan.thresholds = read_thresholds(params, kind);
    plan.pre_flowering = kind.pre;
    StepCurve suckers, hazard, flowered;
    if (cohort_basis && kind.pre) {
        suckers = sucker_profile.method(curve_cache(), CurveCache::rate, nm.share);
        hazard = flowering_profile.method(curve_cache(), CurveCache::flowering_hazard, nm.hazard);
        flowered = flowering_profile.method(curve_cache(), CurveCache::flowered_before,
                                            nm.fraction_done, -1);
        plan.attributes_parous = true;
    } else if (cohort_basis) {
        plan.makes_suckers = false;
        hazard = harvest_curve(curve_cache(), params, nm.harvest_hazard_cohort_basis,
                               g.dispersion.harvest_cohort_basis, CurveCache::harvest_cohort_basis);
    } else {
        suckers = rate_curve(curve_cache(), sucker_group);
        hazard = kind.pre ? rate_curve(curve_cache(), flowering_group)
                          : harvest_curve(curve_cache(), params, nm.harvest_hazard,
                                          g.dispersion.harvest, CurveCache::harvest);
    }
    plan.death_rate = as_double(
        item(mortality_group, kind.pre ? nm.death_rate_vegetative : nm.death_rate_reproductive));
    if (c.generation != generation) raise_chain_changed();

    // Curves that are Python callables may change the list; the step runs
    // over a snapshot and its rates must still match the list afterwards.
    CohortSnapshot snap(c);
    core::compute_rates(plan, snap.states.data(), n, suckers, hazard, flowered, *rates);
    if (c.generation != generation) raise_chain_changed();
    return new_chain_rates(std::move(rates));
}

}  // namespace

nb::object calc_rates(CohortChain& c, double increment) {
    if (!std::isfinite(increment))
        narvo::bind::raise_value_error(
            "weekly_thermal_increment must be a finite number of degree-days, got " +
            narvo::bind::py_repr(nb::float_(increment)));
    if (const NativeStep* s = c.native()) return calc_rates_native(c, *s, increment);
    return calc_rates_python(c, increment);
}

// ---------------------------------------------------- integrate & pruning ---

namespace {

// The walk over the list runs no Python code; the list of removed cohorts is
// built once the chain holds its new list.
// `first` is a position no cohort before which leaves (0 when not known).
nb::list prune(CohortChain& c, std::int64_t current_week_index, PruneLimits limits,
               std::size_t first = 0) {
    auto leaves = [&](std::size_t i) {
        return core::pruned(*c.states[i], current_week_index, limits.age_limit,
                            limits.population_epsilon);
    };
    while (first < c.states.size() && !leaves(first)) ++first;
    if (first == c.states.size()) return nb::list();  // the common week: nobody leaves
    std::vector<nb::object> kept(c.cohorts.begin(), c.cohorts.begin() + first), removed;
    std::vector<CohortState*> kept_states(c.states.begin(), c.states.begin() + first);
    for (std::size_t i = first; i < c.cohorts.size(); ++i) {
        if (core::pruned(*c.states[i], current_week_index, limits.age_limit,
                         limits.population_epsilon)) {
            removed.push_back(c.cohorts[i]);
        } else {
            kept.push_back(c.cohorts[i]);
            kept_states.push_back(c.states[i]);
        }
    }
    c.replace(std::move(kept), std::move(kept_states));
    nb::list out;
    for (nb::object& r : removed) out.append(r);
    return out;
}

PruneLimits prune_limits(CohortChain& c) {
    if (const ResolvedParams* p = c.resolved()) return p->limits;
    return read_prune_limits(c.params, classify(c.kind));
}

// Python's unpacking of an entry into exactly three values.
std::array<nb::object, 3> unpack_triple(nb::handle entry) {
    nb::object iter;
    try {
        iter = nb::iter(entry);
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_TypeError)) throw;
        narvo::bind::raise_type_error(std::string("cannot unpack non-iterable ") +
                                      Py_TYPE(entry.ptr())->tp_name + " object");
    }
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
        nb::object value = nb::steal(v);
        if (k == 3) narvo::bind::raise_value_error("too many values to unpack (expected 3)");
        out[k] = std::move(value);
    }
    return out;
}

// The four maps integrate reads, as `rates` holds them.
std::array<nb::object, 4> rates_maps(nb::handle rates) {
    if (rates.type().is(g.chain_rates_type)) {
        const ChainRates& r = constructed<ChainRates>(rates, "_ChainRates");
        return {r.field(0), r.field(1), r.field(2), r.field(3)};
    }
    static constexpr const char* names[4] = {"next_thermal_age", "next_counters", "chain_exit",
                                             "death"};
    std::array<nb::object, 4> out;
    for (int k = 0; k < 4; ++k) out[k] = nb::getattr(rates, names[k]);
    return out;
}

// Every value integrate needs for the first n cohorts, gathered (and so
// checked) before any cohort changes.
struct GatheredRates {
    std::unique_ptr<StepRates> own;  // values read through Python lookups
    core::RatesArrays arrays{};
    std::array<std::shared_ptr<const StepRates>, 4> held;  // keeps native views' data alive

    // True when a map was computed by calc_rates of `chain` for another
    // state of its list than `generation`.
    bool stale_for(const CohortChain& chain, std::uint64_t generation) const {
        for (const auto& d : held)
            if (d && d->chain_id == chain.id && d->generation != generation) return true;
        return false;
    }
};

core::RatesArrays arrays_of(const StepRates& r) {
    return {r.thermal_age, r.wf, r.ws, r.wh, r.exit, r.death};
}

// A record that calc_rates built, read directly: all four of its maps are
// its own native views.
bool gather_native(nb::handle rates, std::size_t n, GatheredRates& g_) {
    if (!rates.type().is(g.chain_rates_type)) return false;
    const ChainRates& r = constructed<ChainRates>(rates, "_ChainRates");
    if (!r.native || r.native->size() < n) return false;
    g_.held = {r.native, r.native, r.native, r.native};
    g_.arrays = arrays_of(*r.native);
    return true;
}

void gather_python(nb::handle rates, std::size_t n, GatheredRates& out) {
    std::array<nb::object, 4> maps = rates_maps(rates);
    const RatesMap* ta = native_map(maps[0], false);
    const RatesMap* co = native_map(maps[1], true);
    const RatesMap* ex = native_map(maps[2], false);
    const RatesMap* de = native_map(maps[3], false);
    // Native views are held (and so checked for staleness) whichever way they are read.
    out.held = {ta ? ta->data : nullptr, co ? co->data : nullptr, ex ? ex->data : nullptr,
                de ? de->data : nullptr};
    if (ta && co && ex && de && ta->size() >= n && co->size() >= n && ex->size() >= n &&
        de->size() >= n) {
        out.arrays = {ta->doubles(), co->data->wf, co->data->ws, co->data->wh,
                      ex->doubles(), de->doubles()};
        return;
    }
    out.own = std::make_unique<StepRates>(n);
    StepRates& own = *out.own;
    for (std::size_t i = 0; i < n; ++i) {
        nb::int_ key(i);
        own.thermal_age[i] = as_double(item(maps[0], key));
        std::array<nb::object, 3> counters = unpack_triple(item(maps[1], key));
        own.wf[i] = as_index(counters[0]);
        own.ws[i] = as_index(counters[1]);
        own.wh[i] = as_index(counters[2]);
        own.exit[i] = as_double(item(maps[2], key));
        own.death[i] = as_double(item(maps[3], key));
    }
    out.arrays = arrays_of(own);
}

}  // namespace

nb::list integrate(CohortChain& c, nb::handle rates, std::int64_t current_week_index) {
    // Everything is read and checked first: a record that does not match the
    // chain, or parameters that cannot be read, leave the chain as it was.
    if (rates.type().is(g.chain_rates_type)) constructed<ChainRates>(rates, "_ChainRates");
    std::uint64_t generation = c.generation;
    std::size_t n = c.states.size();
    GatheredRates gathered;
    if (n > 0 && !gather_native(rates, n, gathered)) gather_python(rates, n, gathered);
    if (c.generation != generation) raise_chain_changed();
    // Rates are by position: this chain's own rates from before its list
    // changed would give one cohort another's state.
    if (gathered.stale_for(c, generation))
        narvo::bind::raise_value_error(
            "rates were computed by calc_rates for a different state of this chain (its "
            "cohorts changed since); call calc_rates again");
    PruneLimits limits = prune_limits(c);
    if (c.generation != generation) raise_chain_changed();
    std::size_t first = core::apply_rates(c.states.data(), n, gathered.arrays, current_week_index,
                                          limits.age_limit, limits.population_epsilon);
    return prune(c, current_week_index, limits, first);
}

namespace {

double apply_exogenous_removal(CohortChain& c, double amount, std::int64_t current_week_index) {
    if (std::isnan(amount))
        narvo::bind::raise_value_error("amount must be a number of plants to remove, got nan");
    if (amount <= 0.0) return 0.0;
    narvo::core::PythonSum sum = population_sum(c);
    double total = sum.empty() ? 0.0 : sum.result();
    if (total <= 0.0) return 0.0;
    double removed = total < amount ? total : amount;
    std::uint64_t generation = c.generation;
    PruneLimits limits = prune_limits(c);
    // The shares are of the total just summed, over the same list.
    if (c.generation != generation) raise_chain_changed("exogenous removal");
    core::remove_proportionally(c.states.data(), c.states.size(), removed, total);
    prune(c, current_week_index, limits);
    return removed;
}

// The rows are of the list as it stood at the call: reading a cohort's kind may
// run Python code that changes the chain.
nb::object as_dataframe(const CohortChain& c) {
    const std::vector<nb::object> snapshot = c.cohorts;
    nb::list rows;
    for (const nb::object& obj : snapshot) {
        const Cohort& k = *nb::inst_ptr<Cohort>(obj);
        nb::object chain = k.chain;
        if (has_attr(chain, g.names.value)) chain = nb::getattr(chain, g.names.value);
        rows.append(nb::make_tuple(chain, k.s.birth_week_index, k.s.population, k.s.thermal_age,
                                   k.s.weeks_since_flowering_threshold,
                                   k.s.weeks_since_sucker_threshold,
                                   k.s.weeks_since_harvest_threshold));
    }
    nb::object frame = narvo::bind::import_attr("pandas", "DataFrame");
    return frame(rows, "columns"_a = nb::list(field_name_tuple<Cohort>()));
}

// Pickling: the constructor's arguments, then the cohorts (and a Python
// subclass's own attributes) as state.
nb::object chain_reduce(nb::handle self) {
    const CohortChain& c = chain_of(self);
    nb::object dict = nb::none();
    if (has_attr(self, nb::str("__dict__"))) dict = nb::getattr(self, "__dict__");
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

// ------------------------------------------------------------- binding ---

void add_chain(nb::module_& m, nb::handle default_columns) {
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
    // The chain's state as packed core::CohortState rows, and back: how the
    // farm kernel (py_narvo_pop._farm) takes a chain's cohorts and returns
    // them without a Python attribute access per field.
    chain.def(
        "_state_bytes",
        [](const CohortChain& c) {
            std::vector<CohortState> rows;
            rows.reserve(c.states.size());
            for (const CohortState* s : c.states) rows.push_back(*s);
            return nb::bytes(reinterpret_cast<const char*>(rows.data()),
                             rows.size() * sizeof(CohortState));
        },
        nb::sig("def _state_bytes(self) -> bytes"),
        "The cohorts' states, packed (the farm kernel's exchange format).");
    chain.def(
        "_load_state_bytes",
        [](nb::handle self, nb::bytes packed) {
            CohortChain& c = chain_of(self);
            if (packed.size() % sizeof(CohortState) != 0)
                narvo::bind::raise_value_error("packed cohort states have the wrong size");
            const std::size_t n = packed.size() / sizeof(CohortState);
            std::vector<CohortState> rows(n);
            if (n) std::memcpy(rows.data(), packed.c_str(), packed.size());
            // Survivors keep their order and new cohorts come last: each row
            // takes the next cohort already here with its birth week.
            // Making a cohort can run a collection, and a finalizer may
            // change this chain: work on a snapshot that holds the cohorts.
            const std::vector<nb::object> old_objects = c.cohorts;
            const std::vector<CohortState*> old_states = c.states;
            const std::uint64_t generation = c.generation;
            std::vector<nb::object> objects;
            std::vector<CohortState*> states;
            objects.reserve(n);
            states.reserve(n);
            std::size_t next = 0;
            for (const CohortState& row : rows) {
                std::size_t k = next;
                while (k < old_states.size() && old_states[k]->birth_week_index != row.birth_week_index)
                    ++k;
                if (k < old_states.size()) {
                    objects.push_back(old_objects[k]);
                    states.push_back(old_states[k]);
                    next = k + 1;
                } else {
                    nb::object obj = new_cohort(c.kind, row);
                    states.push_back(&nb::inst_ptr<Cohort>(obj)->s);
                    objects.push_back(std::move(obj));
                }
            }
            if (c.generation != generation)
                narvo::bind::raise(PyExc_RuntimeError,
                                   "the chain's cohorts changed while its states were being loaded");
            // Nothing below runs Python code: the states change together.
            for (std::size_t i = 0; i < rows.size(); ++i) *states[i] = rows[i];
            c.replace(std::move(objects), std::move(states));
        },
        "packed"_a,
        nb::sig("def _load_state_bytes(self, packed: bytes, /) -> None"),
        "Put packed states into the chain (see _state_bytes); a cohort already here with\n"
        "the next row's birth week is updated in place and kept.");
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
            return prune(c, current_week_index, prune_limits(c));
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
    chain.def("as_dataframe", &as_dataframe, nb::sig("def as_dataframe(self) -> pandas.DataFrame"),
              "The chain's cohorts as a table, one row per cohort in list order, with the\n"
              "columns of _COHORT_COLUMNS.");
    chain.def("__reduce__", &chain_reduce, nb::sig("def __reduce__(self) -> tuple[typing.Any, ...]"));
    chain.def("__setstate__", &chain_setstate, "state"_a.none());
    narvo::bind::add_classmethod(
        chain, "from_dataframe",
        nb::cpp_function(
            &from_dataframe, "cls"_a, "rows"_a.none(), "kind"_a.none(), "current_week_index"_a,
            "weather"_a.none(), "params"_a.none(),
            "columns"_a.none() = nb::borrow(default_columns), nb::name("from_dataframe"),
            nb::scope(chain),
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
}

}  // namespace narvo::cohorts
