// py_narvo_pop._engine: the engine's weekly loop. The engine object itself
// (seeding, state, history, pickling) lives in py_narvo_pop.engine; this loop
// drives its two chains through their public operations without a Python-level
// step per week.
//
// A week is stepped in two phases. The first only reads: both chains compute
// their rates and the loop checks that the plants moving into the chains are
// numbers it can add. The second changes the chains (integrate both, then add
// the new cohorts). A failure in the first phase leaves the week unapplied; the
// loop stops and hands back the weeks it completed together with the error, so
// the engine can count them. A failure in the second phase leaves the week
// half-applied; the loop reports that too, and the engine refuses to go on.
#include "bind/py.hpp"

#include <nanobind/stl/vector.h>

#include <cmath>
#include <cstdint>
#include <string>
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

// Plants in the cohorts a pruning step removed, summed in their former order.
double pruned_population(nb::handle removed) {
    double total = 0.0;
    for (nb::handle cohort : removed) total += as_double(cohort.attr("population"));
    return total;
}

void require_finite(double value, const char* what, std::int64_t week) {
    if (std::isfinite(value)) return;
    narvo::bind::raise_value_error("week " + std::to_string(week) + ": the rates give " +
                                   narvo::bind::py_repr(nb::float_(value)) + " " + what +
                                   "; expected a finite number of plants");
}

struct Columns {
    std::vector<double> pre_pop, post_pop, flowering, harvest, deaths, pruned, suckers;
    std::vector<std::int64_t> weeks, pre_count, post_count;

    explicit Columns(size_t n) {
        for (auto* v : {&pre_pop, &post_pop, &flowering, &harvest, &deaths, &pruned, &suckers})
            v->reserve(n);
        for (auto* v : {&weeks, &pre_count, &post_count}) v->reserve(n);
    }

    nb::dict to_dict(const std::vector<double>& increments,
                     const std::vector<double>& replacements) const {
        const size_t n = weeks.size();
        nb::dict out;
        out["week_index"] = nb::cast(weeks);
        out["heat_units"] = nb::cast(std::vector<double>(increments.begin(), increments.begin() + n));
        out["pre_flowering"] = nb::cast(pre_pop);
        out["post_flowering"] = nb::cast(post_pop);
        out["flowering"] = nb::cast(flowering);
        out["harvest"] = nb::cast(harvest);
        out["deaths"] = nb::cast(deaths);
        out["pruned"] = nb::cast(pruned);
        out["suckers"] = nb::cast(suckers);
        out["replacements"] =
            nb::cast(std::vector<double>(replacements.begin(), replacements.begin() + n));
        out["pre_flowering_cohorts"] = nb::cast(pre_count);
        out["post_flowering_cohorts"] = nb::cast(post_count);
        return out;
    }
};

nb::tuple run_weeks(nb::object pre, nb::object post, std::int64_t first_week,
                    const std::vector<double>& increments, const std::vector<double>& replacements) {
    if (replacements.size() != increments.size())
        narvo::bind::raise_value_error("increments and replacements must have the same length");
    nb::object pre_calc = pre.attr("calc_rates"), post_calc = post.attr("calc_rates");
    nb::object pre_integrate = pre.attr("integrate"), post_integrate = post.attr("integrate");
    nb::object pre_add = pre.attr("add_new_cohort"), post_add = post.attr("add_new_cohort");
    nb::object pre_total = pre.attr("total_population"), post_total = post.attr("total_population");

    const size_t n = increments.size();
    Columns c(n);
    nb::object error = nb::none();
    bool half_applied = false;
    for (size_t i = 0; i < n; ++i) {
        const std::int64_t w = first_week + static_cast<std::int64_t>(i);
        bool changing = false;
        try {
            nb::object a = pre_calc(increments[i]);
            nb::object b = post_calc(increments[i]);
            const double flowering = as_double(a.attr("sum_chain_exit"));
            const double harvest = as_double(b.attr("sum_chain_exit"));
            const double deaths = as_double(a.attr("sum_death")) + as_double(b.attr("sum_death"));
            const double suckers = as_double(a.attr("sum_sucker")) +
                                   as_double(a.attr("sum_sucker_parous")) +
                                   as_double(b.attr("sum_sucker"));
            require_finite(flowering, "flowering", w);
            require_finite(suckers + replacements[i], "new suckers", w);

            changing = true;
            double pruned = pruned_population(pre_integrate(a, w));
            pruned += pruned_population(post_integrate(b, w));
            post_add(flowering, w);
            pre_add(suckers + replacements[i], w);
            const double pre_pop = as_double(pre_total());
            const double post_pop = as_double(post_total());
            const std::int64_t pre_count = length(pre), post_count = length(post);

            c.weeks.push_back(w);
            c.pre_pop.push_back(pre_pop);
            c.post_pop.push_back(post_pop);
            c.flowering.push_back(flowering);
            c.harvest.push_back(harvest);
            c.deaths.push_back(deaths);
            c.pruned.push_back(pruned);
            c.suckers.push_back(suckers);
            c.pre_count.push_back(pre_count);
            c.post_count.push_back(post_count);
        } catch (nb::python_error& e) {
            error = nb::borrow(e.value());
            half_applied = changing;
            break;
        }
    }
    return nb::make_tuple(c.to_dict(increments, replacements), error, half_applied);
}

}  // namespace

NB_MODULE(_engine, m) {
    m.doc() = "The engine's weekly loop over its two chains.";
    m.def("run_weeks", &run_weeks, "pre"_a, "post"_a, "first_week"_a, "increments"_a,
          "replacements"_a,
          nb::sig("def run_weeks(pre: py_narvo_pop.cohorts.CohortChain, "
                  "post: py_narvo_pop.cohorts.CohortChain, first_week: int, "
                  "increments: collections.abc.Sequence[float], "
                  "replacements: collections.abc.Sequence[float]) "
                  "-> tuple[dict[str, list], BaseException | None, bool]"),
          "Step both chains through len(increments) weeks from first_week.\n\n"
          "Returns (columns, error, half_applied): the weekly columns of the engine's\n"
          "summary table (without the dates) for the weeks completed, the exception that\n"
          "stopped the loop (None when every week ran), and whether that exception struck\n"
          "after the failing week had begun to change the chains. Every week's\n"
          "rates are computed and checked before either chain changes, so an error in\n"
          "them (a dispersion curve that raises, a NaN count) leaves the week unapplied.");
}
