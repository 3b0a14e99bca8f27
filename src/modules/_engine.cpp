// py_narvo_pop._engine: the engine's weekly loop. The engine object itself
// (seeding, state, pickling) lives in py_narvo_pop.engine; this loop drives its
// two chains through their public operations without a Python-level step per
// week.
#include "bind/py.hpp"

#include <nanobind/stl/vector.h>

#include <cstdint>
#include <vector>

namespace nb = nanobind;
using namespace nb::literals;

namespace {

double as_double(nb::handle h) {
    double v = PyFloat_AsDouble(h.ptr());
    if (v == -1.0 && PyErr_Occurred()) throw nb::python_error();
    return v;
}

std::int64_t length(nb::handle h) {
    Py_ssize_t n = PyObject_Length(h.ptr());
    if (n < 0) throw nb::python_error();
    return n;
}

nb::dict run_weeks(nb::object pre, nb::object post, std::int64_t first_week,
                   const std::vector<double>& increments, const std::vector<double>& replacements) {
    if (replacements.size() != increments.size())
        narvo::bind::raise_value_error("increments and replacements must have the same length");
    nb::object pre_calc = pre.attr("calc_rates"), post_calc = post.attr("calc_rates");
    nb::object pre_integrate = pre.attr("integrate"), post_integrate = post.attr("integrate");
    nb::object pre_add = pre.attr("add_new_cohort"), post_add = post.attr("add_new_cohort");
    nb::object pre_total = pre.attr("total_population"), post_total = post.attr("total_population");

    const size_t n = increments.size();
    std::vector<double> pre_pop(n), post_pop(n), flowering(n), harvest(n), deaths(n), suckers(n);
    std::vector<std::int64_t> weeks(n), pre_count(n), post_count(n);
    for (size_t i = 0; i < n; ++i) {
        const std::int64_t w = first_week + static_cast<std::int64_t>(i);
        nb::object a = pre_calc(increments[i]);
        nb::object b = post_calc(increments[i]);
        pre_integrate(a, w);
        post_integrate(b, w);
        flowering[i] = as_double(a.attr("sum_chain_exit"));
        harvest[i] = as_double(b.attr("sum_chain_exit"));
        deaths[i] = as_double(a.attr("sum_death")) + as_double(b.attr("sum_death"));
        suckers[i] = as_double(a.attr("sum_sucker")) + as_double(a.attr("sum_sucker_parous")) +
                     as_double(b.attr("sum_sucker"));
        post_add(flowering[i], w);
        pre_add(suckers[i] + replacements[i], w);
        weeks[i] = w;
        pre_pop[i] = as_double(pre_total());
        post_pop[i] = as_double(post_total());
        pre_count[i] = length(pre);
        post_count[i] = length(post);
    }
    nb::dict out;
    out["week_index"] = nb::cast(weeks);
    out["heat_units"] = nb::cast(increments);
    out["pre_flowering"] = nb::cast(pre_pop);
    out["post_flowering"] = nb::cast(post_pop);
    out["flowering"] = nb::cast(flowering);
    out["harvest"] = nb::cast(harvest);
    out["deaths"] = nb::cast(deaths);
    out["suckers"] = nb::cast(suckers);
    out["replacements"] = nb::cast(replacements);
    out["pre_flowering_cohorts"] = nb::cast(pre_count);
    out["post_flowering_cohorts"] = nb::cast(post_count);
    return out;
}

}  // namespace

NB_MODULE(_engine, m) {
    m.doc() = "The engine's weekly loop over its two chains.";
    m.def("run_weeks", &run_weeks, "pre"_a, "post"_a, "first_week"_a, "increments"_a,
          "replacements"_a,
          nb::sig("def run_weeks(pre: py_narvo_pop.cohorts.CohortChain, "
                  "post: py_narvo_pop.cohorts.CohortChain, first_week: int, "
                  "increments: collections.abc.Sequence[float], "
                  "replacements: collections.abc.Sequence[float]) -> dict[str, list]"),
          "Step both chains through len(increments) weeks from first_week and return the\n"
          "weekly columns of the engine's summary table (without the dates).");
}
