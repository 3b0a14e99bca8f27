// The native state behind py_narvo_pop.weather.WeatherProvider, shared so that
// other modules can take a fast path when handed exactly the package's own
// provider (never a subclass, whose methods may be overridden).
#pragma once

#include "bind/py.hpp"
#include "core/weekly_table.hpp"

#include <memory>

namespace narvo::bind {

struct WeatherProviderNative {
    std::shared_ptr<const core::WeeklyTable> table;
    nb::object base_temperature_c;  // as given
    nb::object run_start_date;      // datetime.date
};

// The weekly table of `obj` when it is exactly a WeatherProvider, else nullptr.
// Does not import the weather module: when it was never loaded, no object can
// be one of its providers.
inline const core::WeeklyTable* native_weekly_table(nb::handle obj) {
    nb::handle t = nb::type<WeatherProviderNative>();
    if (!t.is_valid() || !obj.type().is(t)) return nullptr;
    if (!nb::inst_ready(obj)) return nullptr;
    return nb::inst_ptr<WeatherProviderNative>(obj)->table.get();
}

}  // namespace narvo::bind
