#include "modules/cohorts/curves.hpp"

#include "core/dispersion.hpp"

#include <cstring>
#include <optional>

namespace narvo::cohorts {

using narvo::bind::as_double;
using narvo::bind::item;

namespace {

WeekTable::Curve curve(CurveCache::Kind kind, CurveCache::Key k) {
    using narvo::core::DispersionCurve;
    switch (kind) {
        case CurveCache::rate:
            return [c = DispersionCurve(k[0], k[1], k[2])](std::int64_t n) { return c.rate(n); };
        case CurveCache::flowering_hazard:
            return [c = DispersionCurve(k[0], k[1], k[2])](std::int64_t n) { return c.hazard(n); };
        case CurveCache::flowered_before:
            // Indexed by the flowering counter: the fraction done one week earlier.
            return [c = DispersionCurve(k[0], k[1], k[2])](std::int64_t n) {
                // The curve is flat (nothing done) below week 0, so the one
                // count with no predecessor takes its own value.
                std::optional<std::int64_t> before = narvo::core::checked_sub(n, 1);
                return c.fraction_done(before ? *before : n);
            };
        case CurveCache::harvest_cohort_basis:
            return [h = k[0]](std::int64_t n) {
                return narvo::core::harvest_hazard_cohort_basis(n, h);
            };
        default:
            return [h = k[0]](std::int64_t n) { return narvo::core::harvest_hazard(n, h); };
    }
}

}  // namespace

namespace {
// Namespace scope, not a function-local static: no guard for two threads to
// wait on, and nothing in it runs Python code.
CurveCache g_curve_cache;
}  // namespace

CurveCache& curve_cache() { return g_curve_cache; }

std::shared_ptr<WeekTable> CurveCache::get(Kind kind, Key key) {
    for (auto& e : entries_)
        if (e.kind == kind && std::memcmp(e.key.data(), key.data(), sizeof(Key)) == 0)
            return e.table;
    if (entries_.size() >= kMaxEntries) entries_.erase(entries_.begin());
    entries_.push_back({kind, key, std::make_shared<WeekTable>(curve(kind, key))});
    return entries_.back().table;
}

double StepCurve::operator()(std::int64_t n) {
    if (table) return (*table)(n);
    // n + shift as a Python int, however large.
    nb::object week;
    if (std::optional<std::int64_t> v = narvo::core::checked_add(n, shift))
        week = nb::int_(*v);
    else
        week = nb::int_(n) + nb::int_(shift);
    if (kwargs.is_valid()) return as_double(fn(week, **kwargs));
    if (extra.is_valid()) return as_double(fn(week, extra));
    return as_double(fn(week));
}

std::array<nb::object, 3> read_curve_params(nb::handle group) {
    return {item(group, g.names.amplitude), item(group, g.names.peak_weeks),
            item(group, g.names.spread)};
}

bool native_curve_key(const std::array<nb::object, 3>& p, CurveCache::Key& key) {
    for (int i = 0; i < 3; ++i)
        if (!narvo::bind::try_double(p[i], key[i])) return false;
    return narvo::core::DispersionCurve::check(key[0], key[1], key[2]) ==
           narvo::core::DispersionCurve::Fault::none;
}

StepCurve Profile::method(CurveCache& cache, CurveCache::Kind kind, nb::handle name,
                          std::int64_t shift) const {
    if (native) return StepCurve::native(cache.get(kind, key));
    return StepCurve{nullptr, nb::getattr(obj, name), {}, {}, shift};
}

Profile build_profile(nb::handle fn, nb::handle group) {
    std::array<nb::object, 3> p = read_curve_params(group);
    Profile out;
    if (fn.is(g.dispersion.profile) && native_curve_key(p, out.key)) {
        out.native = true;
        return out;
    }
    out.obj = fn(p[0], p[1], p[2]);
    return out;
}

StepCurve rate_curve(CurveCache& cache, nb::handle group) {
    nb::object fn = module_global(g.names.dispersion_rate);
    std::array<nb::object, 3> p = read_curve_params(group);
    CurveCache::Key key;
    if (fn.is(g.dispersion.rate) && native_curve_key(p, key))
        return StepCurve::native(cache.get(CurveCache::rate, key));
    nb::dict kwargs;
    kwargs[g.names.amplitude] = p[0];
    kwargs[g.names.peak_weeks] = p[1];
    kwargs[g.names.spread] = p[2];
    return StepCurve{nullptr, fn, {}, kwargs, 0};
}

StepCurve harvest_curve(CurveCache& cache, nb::handle params, nb::handle name,
                        nb::handle native_fn, CurveCache::Kind kind) {
    nb::object fn = module_global(name);
    nb::object hw = item(nb::getattr(params, g.names.harvest), g.names.hazard_weeks);
    CurveCache::Key key{0.0, 0.0, 0.0};
    if (fn.is(native_fn) && narvo::bind::try_double(hw, key[0]) &&
        narvo::core::valid_hazard_weeks(key[0]))
        return StepCurve::native(cache.get(kind, key));
    return StepCurve{nullptr, fn, hw, {}, 0};
}

}  // namespace narvo::cohorts
