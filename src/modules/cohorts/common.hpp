// What every part of the cohorts module shares: the objects looked up once at
// module init (interned names, the ChainKind members, the package's own
// dispersion functions, the module's globals) and the small helpers over them.
#pragma once

#include "bind/numbers.hpp"
#include "bind/py.hpp"
#include "core/chain_step.hpp"

#include <cstdint>
#include <string>

namespace narvo::cohorts {

namespace nb = nanobind;
using namespace nanobind::literals;

// Interned texts for the attribute, key and global lookups of every step.
struct Names {
    nb::handle general, flowering, sucker_selection, harvest, mortality_replacement;
    nb::handle rate_basis, cohort, threshold_dd, amplitude, peak_weeks, spread, hazard_weeks;
    nb::handle death_rate_vegetative, death_rate_reproductive;
    nb::handle max_age_weeks_vegetative, max_age_weeks_reproductive, population_epsilon;
    nb::handle share, hazard, fraction_done, value, min_week_index, thermal_increment;
    // The module's dispersion globals.
    nb::handle dispersion_profile, dispersion_rate, harvest_hazard_cohort_basis, harvest_hazard;
};

// The four dispersion functions as the dispersion module defines them; the
// step computes them natively for as long as the module's globals are these.
struct NativeDispersion {
    nb::handle profile, rate, harvest_cohort_basis, harvest;
};

struct ModuleState {
    Names names;
    NativeDispersion dispersion;
    nb::handle pre, post;  // the ChainKind members
    nb::handle module_dict;
    // Advanced by every change of the module's globals while they are
    // watched (globals_watched); starts at 1 so that 0 means "never checked".
    std::uint64_t globals_epoch = 1;
    bool globals_watched = false;
    nb::handle cohort_chain_error;
    nb::handle cohort_type, rates_map_type, chain_rates_type;
};

// Filled by module init (module.cpp) before any class is bound.
extern ModuleState g;

extern narvo::bind::LazyAttr g_weather_error;

void init_state(nb::module_& m);

// A global of this module looked up at the moment of use, as a Python
// implementation of the module would look its globals up.
nb::object module_global(nb::handle name);

inline bool equals(nb::handle a, nb::handle b) { return a.equal(b); }

// hasattr(obj, name), except that an error other than AttributeError passes through.
bool has_attr(nb::handle obj, nb::handle name);

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

KindTest classify(nb::handle kind);

// The text of a chain kind in messages: its value for a ChainKind.
std::string kind_text(nb::handle kind);

}  // namespace narvo::cohorts
