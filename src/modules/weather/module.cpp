// py_narvo_pop.weather: the model calendar (which date starts week 0, how many
// days a week has) and the weekly heat-unit totals that drive thermal ageing.
// See weather.hpp for the layout of the sources.
#include "modules/weather/weather.hpp"

namespace nb = nanobind;

NB_MODULE(weather, m) {
    namespace w = narvo::weather;
    m.doc() = "The model calendar, weekly heat units and thermal time queries.";
    w::init_calendar();
    w::g_weather_error =
        narvo::bind::keep(narvo::bind::import_attr("py_narvo_pop.exceptions", "WeatherError"));
    w::g_week_total_name = narvo::bind::keep(nb::steal(PyUnicode_InternFromString("_week_total")));

    w::add_column_map(m);
    w::add_provider(m);
}
