#include "modules/cohorts/common.hpp"

namespace narvo::cohorts {

ModuleState g;
narvo::bind::LazyAttr g_weather_error{"py_narvo_pop.exceptions", "WeatherError"};

namespace {

nb::handle intern(const char* text) {
    PyObject* s = PyUnicode_InternFromString(text);
    if (!s) throw nb::python_error();
    return narvo::bind::keep(nb::steal(s));
}

// Counts changes of the module's globals, so that a step can tell that the
// dispersion globals it checked last time are still the same without looking
// them up. Every change counts, whatever the key: changes are rare.
int watch_globals_event(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) {
    ++g.globals_epoch;
    return 0;
}

}  // namespace

void init_state(nb::module_& m) {
    g.module_dict = m.attr("__dict__");
    int watcher = PyDict_AddWatcher(&watch_globals_event);
    if (watcher >= 0 && PyDict_Watch(watcher, g.module_dict.ptr()) == 0) {
        g.globals_watched = true;
    } else {
        PyErr_Clear();  // without a watcher every step looks its globals up
    }
    g.cohort_chain_error =
        narvo::bind::keep(narvo::bind::import_attr("py_narvo_pop.exceptions", "CohortChainError"));
    Names& n = g.names;
    n = {intern("general"),
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
         intern("value"),
         intern("min_week_index"),
         intern("thermal_increment"),
         intern("_dispersion_profile"),
         intern("_dispersion_rate"),
         intern("_harvest_hazard_cohort_basis"),
         intern("_harvest_hazard")};

    // The dispersion functions become this module's globals; the package's
    // own are remembered so that the step knows when it may compute them.
    nb::module_ dispersion = nb::module_::import_("py_narvo_pop.dispersion");
    std::pair<nb::handle, nb::handle*> globals[4] = {
        {n.dispersion_profile, &g.dispersion.profile},
        {n.dispersion_rate, &g.dispersion.rate},
        {n.harvest_hazard_cohort_basis, &g.dispersion.harvest_cohort_basis},
        {n.harvest_hazard, &g.dispersion.harvest}};
    for (auto [name, native] : globals) {
        nb::object fn = nb::getattr(dispersion, name);
        nb::setattr(m, name, fn);
        *native = narvo::bind::keep(fn);
    }
}

nb::object module_global(nb::handle name) {
    PyObject* r = nullptr;
    if (PyDict_GetItemRef(g.module_dict.ptr(), name.ptr(), &r) < 0) throw nb::python_error();
    if (!r)
        narvo::bind::raise(PyExc_NameError,
                           "name '" + narvo::bind::py_str(name) + "' is not defined");
    return nb::steal(r);
}

KindTest classify(nb::handle kind) {
    if (kind.is(g.pre)) return {true, false};
    if (kind.is(g.post)) return {false, true};
    if (equals(kind, g.pre)) return {true, false};
    return {false, equals(kind, g.post)};
}

bool has_attr(nb::handle obj, nb::handle name) {
    int r = PyObject_HasAttrWithError(obj.ptr(), name.ptr());
    if (r < 0) throw nb::python_error();
    return r == 1;
}

std::string kind_text(nb::handle kind) {
    if (has_attr(kind, g.names.value)) return narvo::bind::py_str(nb::getattr(kind, g.names.value));
    return narvo::bind::py_str(kind);
}

}  // namespace narvo::cohorts
