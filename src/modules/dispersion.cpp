// py_narvo_pop.dispersion: the age-dispersion curves of flowering, sucker
// emergence and harvest, as functions of whole weeks since a threshold.
#include "bind/py.hpp"
#include "bind/record.hpp"
#include "core/dispersion.hpp"

#include <array>
#include <cstdint>
#include <string>

namespace nb = nanobind;
using namespace nb::literals;
using narvo::core::DispersionCurve;

namespace {

const char* kModuleDoc = R"(Age-dispersion curves: how a cohort spreads flowering, sucker emergence and
harvest over the weeks after a thermal threshold.

Every function takes a whole-week count as the chain's threshold counters give
it: 0 while the cohort is below the threshold, 1 in its first week at or above
it, 2 in the next, and so on. Every curve is 0 at a count of 0 (and below), so
cohorts below a threshold stay in place.

Flowering and suckers follow a normal distribution over whole weeks since the
threshold up to its mode, discretised week by week: week n collects the normal
mass between n - 0.5 and n + 0.5 weeks, renormalised over the weeks n >= 1 so
that none is lost before the threshold. ``peak_weeks`` is the mode, ``spread``
the standard deviation of that normal in weeks (0 puts every plant into the
week nearest ``peak_weeks``, week 1 at the earliest). After the mode week (the
week nearest ``peak_weeks``, week 1 at the earliest) the weekly hazard stays at
its value in the mode week: the plants still to come leave geometrically. A
normal tail would make the hazard climb towards 1, so that plants observed
late (seeded from an inventory well past the peak) would nearly all go in one
week; with this tail a late plant goes at the peak's rate however late it is.
The mode week is the whole week nearest ``peak_weeks`` (a half week rounds to
the even one), so the curves step where ``peak_weeks`` crosses a half week, and
between a spread of 0 and any spread above it: a search over these parameters
sees steps, not a smooth surface.
``amplitude`` scales the curve:

- for suckers, the suckers a plant emits over the cohort's life;
- for flowering, the eventual fraction of the cohort that flowers (capped at 1;
  the rest never flowers and leaves the chain only by death or age). Below 1,
  the plants still waiting late in the tail are mostly those that never
  flower, so the hazard on them falls towards 0: a cohort seeded far past its
  peak flowers at the peak's rate only when amplitude is 1, and barely at all
  when it is a little below (0.99 gives no flowering to speak of 90 weeks on).

``_dispersion_profile`` builds a ``DispersionProfile`` for the cohort basis:
``share(n)`` is amplitude x the week's mass, per plant present;
``fraction_done(n)`` the fraction of the entering cohort flowered after n weeks
(0 for n <= 0, never decreasing, at most min(amplitude, 1)); ``hazard(n)`` the
fraction of the plants still waiting that flower in week n, so that
1 - prod(1 - hazard(k), k <= n) equals ``fraction_done(n)``.

``_dispersion_rate`` is the direct-rate basis: amplitude x the week's mass,
applied as it stands to the plants present (a per-plant sucker rate, or a
flowering hazard in [0, 1] when amplitude <= 1).

Harvest takes the whole cohort by ``hazard_weeks`` weeks after the harvest
threshold. Under the cohort basis the cohort, counted as it entered, is
harvested evenly over those weeks, so the weekly hazard on the plants still
there is 1 / (hazard_weeks - n + 1) until it reaches 1. Under the direct-rate
basis the weekly hazard is a constant 1 / hazard_weeks, and what is left is
harvested in the week the counter reaches hazard_weeks.

Parameters are refused with ValueError when they cannot describe a curve:
amplitude and spread must be finite and >= 0, peak_weeks finite, hazard_weeks
finite and > 0.)";

// The profile of one set of curve parameters; an immutable value.
struct DispersionProfile {
    DispersionCurve curve;

    static constexpr std::array<const char*, 3> fields = {"amplitude", "peak_weeks", "spread"};
    nb::object field(size_t i) const {
        switch (i) {
            case 0: return nb::float_(curve.amplitude());
            case 1: return nb::float_(curve.peak_weeks());
            default: return nb::float_(curve.spread());
        }
    }
};

[[noreturn]] void refuse(const char* what, double value) {
    narvo::bind::raise_value_error(std::string(what) + " got " +
                                   narvo::bind::py_repr(nb::float_(value)));
}

DispersionCurve make_curve(double amplitude, double peak_weeks, double spread) {
    switch (DispersionCurve::check(amplitude, peak_weeks, spread)) {
        case DispersionCurve::Fault::amplitude:
            refuse("amplitude must be a finite number >= 0,", amplitude);
        case DispersionCurve::Fault::peak_weeks:
            refuse("peak_weeks must be a finite number,", peak_weeks);
        case DispersionCurve::Fault::spread:
            refuse("spread must be a finite number >= 0,", spread);
        case DispersionCurve::Fault::none:
            break;
    }
    return DispersionCurve(amplitude, peak_weeks, spread);
}

double checked_hazard_weeks(double hazard_weeks) {
    if (!narvo::core::valid_hazard_weeks(hazard_weeks))
        refuse("hazard_weeks must be a finite number of weeks > 0,", hazard_weeks);
    return hazard_weeks;
}

}  // namespace

NB_MODULE(dispersion, m) {
    m.doc() = kModuleDoc;

    auto profile = nb::class_<DispersionProfile>(
        m, "DispersionProfile",
        "The flowering or sucker curve of one (amplitude, peak_weeks, spread), by whole\n"
        "weeks since the threshold. An immutable value: equal parameters, equal profiles.");
    profile.def(
        "__init__",
        [](DispersionProfile* self, double amplitude, double peak_weeks, double spread) {
            new (self) DispersionProfile{make_curve(amplitude, peak_weeks, spread)};
        },
        "amplitude"_a, "peak_weeks"_a, "spread"_a);
    profile.def(
        "share", [](const DispersionProfile& p, std::int64_t weeks) { return p.curve.rate(weeks); },
        "weeks"_a, "Suckers emitted in week ``weeks`` per plant present (0 for weeks <= 0).");
    profile.def(
        "hazard",
        [](const DispersionProfile& p, std::int64_t weeks) { return p.curve.hazard(weeks); },
        "weeks"_a,
        "Fraction of the plants still in the chain that flower in week ``weeks``, in [0, 1].");
    profile.def(
        "fraction_done",
        [](const DispersionProfile& p, std::int64_t weeks) { return p.curve.fraction_done(weeks); },
        "weeks"_a,
        "Fraction of the entering cohort flowered after ``weeks`` weeks (0 for weeks <= 0).");
    narvo::bind::add_record_protocol(
        profile, {{{"amplitude", "float"}, {"peak_weeks", "float"}, {"spread", "float"}}});

    m.def(
        "_dispersion_profile",
        [](double amplitude, double peak_weeks, double spread) {
            return DispersionProfile{make_curve(amplitude, peak_weeks, spread)};
        },
        "amplitude"_a, "peak_weeks"_a, "spread"_a,
        "The cohort-basis profile of these curve parameters.");
    m.def(
        "_dispersion_rate",
        [](std::int64_t weeks, double amplitude, double peak_weeks, double spread) {
            return make_curve(amplitude, peak_weeks, spread).rate(weeks);
        },
        "weeks"_a, "amplitude"_a, "peak_weeks"_a, "spread"_a,
        "Direct-rate basis: amplitude x the curve's share of week ``weeks``.");
    m.def(
        "_harvest_hazard_cohort_basis",
        [](std::int64_t weeks, double hazard_weeks) {
            return narvo::core::harvest_hazard_cohort_basis(weeks, checked_hazard_weeks(hazard_weeks));
        },
        "weeks"_a, "hazard_weeks"_a,
        "Cohort basis: fraction of the plants still there harvested in week ``weeks``, the\n"
        "entering cohort being harvested evenly over ``hazard_weeks`` weeks.");
    m.def(
        "_harvest_hazard",
        [](std::int64_t weeks, double hazard_weeks) {
            return narvo::core::harvest_hazard(weeks, checked_hazard_weeks(hazard_weeks));
        },
        "weeks"_a, "hazard_weeks"_a,
        "Direct-rate basis: 1 / hazard_weeks a week, and everything left once ``weeks``\n"
        "reaches ``hazard_weeks``.");
}
