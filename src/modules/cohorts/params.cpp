#include "modules/cohorts/params.hpp"

#include "core/dispersion.hpp"

namespace narvo::cohorts {

using narvo::bind::as_double;
using narvo::bind::item;

core::Thresholds read_thresholds(nb::handle params, KindTest kind) {
    core::Thresholds t;
    t.flowering_counter = kind.pre;
    t.harvest_counter = kind.post;
    const Names& n = g.names;
    if (kind.pre) t.flowering = as_double(item(nb::getattr(params, n.flowering), n.threshold_dd));
    t.sucker = as_double(item(nb::getattr(params, n.sucker_selection), n.threshold_dd));
    if (kind.post) t.harvest = as_double(item(nb::getattr(params, n.harvest), n.threshold_dd));
    return t;
}

PruneLimits read_prune_limits(nb::handle params, KindTest kind) {
    const Names& n = g.names;
    nb::object general = nb::getattr(params, n.general);
    nb::object limit =
        item(general, kind.pre ? n.max_age_weeks_vegetative : n.max_age_weeks_reproductive);
    nb::object epsilon = item(general, n.population_epsilon);
    return {as_double(limit), as_double(epsilon)};
}

namespace {

// Set once, under the GIL, by code that cannot release it.
PyObject* g_parameter_set_type = nullptr;

// The ParameterSet type once its module is loaded; never imports it (an
// object of a module never loaded cannot be one of its instances).
nb::handle parameter_set_type() {
    PyObject*& type = g_parameter_set_type;
    if (!type) {
        PyObject* mod = PyImport_GetModule(nb::str("py_narvo_pop.parameters").ptr());
        if (!mod) {
            PyErr_Clear();
            return {};
        }
        nb::object module = nb::steal(mod);
        nb::object found = nb::getattr(module, "ParameterSet", nb::none());
        if (found.is_none()) return {};
        type = narvo::bind::keep(std::move(found)).ptr();
    }
    return type;
}

// A plain number: the native reading of it cannot run Python code or fail.
bool plain_number(nb::handle v, double& out) {
    if (PyFloat_CheckExact(v.ptr())) {
        out = PyFloat_AS_DOUBLE(v.ptr());
        return true;
    }
    if (!PyLong_CheckExact(v.ptr())) return false;
    out = PyLong_AsDouble(v.ptr());
    if (out == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();  // too large for a double: left to the Python-level path
        return false;
    }
    return true;
}

bool number(nb::handle group, nb::handle key, double& out) {
    return plain_number(item(group, key), out);
}

bool curve_key(nb::handle group, CurveCache::Key& key) {
    const Names& n = g.names;
    return number(group, n.amplitude, key[0]) && number(group, n.peak_weeks, key[1]) &&
           number(group, n.spread, key[2]) &&
           core::DispersionCurve::check(key[0], key[1], key[2]) ==
               core::DispersionCurve::Fault::none;
}

}  // namespace

std::optional<ResolvedParams> resolve_params(nb::handle params, KindTest kind) {
    nb::handle type = parameter_set_type();
    if (!type.is_valid() || !params.type().is(type) || !nb::inst_ready(params)) return std::nullopt;
    const Names& n = g.names;
    nb::object general = nb::getattr(params, n.general);
    nb::object flowering = nb::getattr(params, n.flowering);
    nb::object sucker = nb::getattr(params, n.sucker_selection);
    nb::object harvest = nb::getattr(params, n.harvest);
    nb::object mortality = nb::getattr(params, n.mortality_replacement);
    ResolvedParams r;
    nb::object basis = item(general, n.rate_basis);
    if (!PyUnicode_CheckExact(basis.ptr())) return std::nullopt;
    r.cohort_basis = equals(basis, n.cohort);
    r.thresholds.flowering_counter = kind.pre;
    r.thresholds.harvest_counter = kind.post;
    bool ok = number(flowering, n.threshold_dd, r.thresholds.flowering) &&
              number(sucker, n.threshold_dd, r.thresholds.sucker) &&
              number(harvest, n.threshold_dd, r.thresholds.harvest) &&
              number(mortality, kind.pre ? n.death_rate_vegetative : n.death_rate_reproductive,
                     r.death_rate) &&
              number(general, kind.pre ? n.max_age_weeks_vegetative : n.max_age_weeks_reproductive,
                     r.limits.age_limit) &&
              number(general, n.population_epsilon, r.limits.population_epsilon) &&
              curve_key(flowering, r.flowering) && curve_key(sucker, r.sucker) &&
              number(harvest, n.hazard_weeks, r.harvest[0]) &&
              core::valid_hazard_weeks(r.harvest[0]);
    if (!ok) return std::nullopt;
    if (!kind.pre) r.thresholds.flowering = 0.0;
    if (!kind.post) r.thresholds.harvest = 0.0;
    return r;
}

}  // namespace narvo::cohorts
