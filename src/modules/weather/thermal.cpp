// Thermal-time queries: the heat units of one week, of a span of weeks, and
// their running total, all answered through the lookup _week_total, which is
// where a week without weather data is refused.
//
// The package's own lookup is answered from the core's weekly table. When a
// subclass or the instance itself replaces _week_total, every query goes
// through the replacement, as the queries written in Python would.
#include "core/pysum.hpp"
#include "modules/weather/weather.hpp"

#include <cmath>
#include <limits>
#include <string>

namespace narvo::weather {

using namespace nb::literals;

namespace {

// -------------------------------------------------------- the lookup ---

[[noreturn]] void refuse_week(const WeeklyTable& t, nb::handle week) {
    raise_weather({nb::str("week_index "), format_plain(week),
                   nb::str(" is outside the weather data's coverage ("),
                   nb::str(std::to_string(t.first_week).c_str()), nb::str(".."),
                   nb::str(std::to_string(t.last_week).c_str()), nb::str(")")});
}

[[noreturn]] void refuse_week(const WeeklyTable& t, std::int64_t week) {
    refuse_week(t, nb::int_(week));
}

// How a week key is looked up: by the whole number it plainly is (an int, a
// bool, an integral float, numpy's integers), or, for anything else, by
// asking the mapping of weekly totals, whose equality decides.
struct WeekKey {
    bool by_number = true;
    std::optional<std::int64_t> week;  // absent: no week can have this number
};

WeekKey read_week_key(nb::handle key) {
    PyObject* o = key.ptr();
    if (PyLong_CheckExact(o) || PyBool_Check(o)) return {true, as_int64(key)};
    if (PyFloat_Check(o)) {
        const double x = PyFloat_AS_DOUBLE(o);
        if (std::isfinite(x) && x == std::floor(x) && std::fabs(x) < 9.0e18)
            return {true, static_cast<std::int64_t>(x)};
        return {true, std::nullopt};
    }
    if (PyIndex_Check(o) && !PyLong_Check(o)) {
        PyObject* idx = PyNumber_Index(o);
        if (idx) return {true, as_int64(nb::steal(idx))};
        PyErr_Clear();
    }
    return {false, std::nullopt};
}

// The total of the week that `key` names, looked up as a mapping keyed by
// whole numbers would look it up: 3, 3.0 and numpy's 3 all name week 3.
nb::object week_total(const WeeklyTable& t, nb::handle key) {
    const WeekKey k = read_week_key(key);
    if (!k.by_number) {
        // A Fraction, a Decimal, an int subclass with its own equality: the
        // mapping itself is asked. Its values are floats, never None.
        nb::object total = weekly_dict(t).attr("get")(key);
        if (total.is_none()) refuse_week(t, key);
        return total;
    }
    if (!k.week || !t.has(*k.week)) refuse_week(t, key);
    return nb::float_(t.at(*k.week));
}

// ------------------------------------------------ which path serves ---

// The attribute `name` as the class `type` defines or inherits it: the entry
// of the first class in its method resolution order whose own namespace has
// it (descriptors not applied); a null object when none has.
nb::object class_attribute(nb::handle type, nb::handle name) {
    nb::object mro = type.attr("__mro__");
    for (nb::handle cls : mro) {
        PyObject* own = PyType_GetDict(reinterpret_cast<PyTypeObject*>(cls.ptr()));
        if (!own) throw nb::python_error();
        nb::dict namespace_ = nb::steal<nb::dict>(own);
        PyObject* found = nullptr;
        if (PyDict_GetItemRef(namespace_.ptr(), name.ptr(), &found) < 0) throw nb::python_error();
        if (found) return nb::steal(found);
    }
    return {};
}

// A provider answers from its own table unless its class or the instance
// itself (an attribute set on it, as a test's patch does) replaced the lookup.
bool uses_native_lookup(nb::handle self) {
    nb::handle type = self.type();
    if (type.is(g_provider_type)) return true;
    if (!class_attribute(type, g_week_total_name).is(g_native_week_total)) return false;
    PyTypeObject* tp = reinterpret_cast<PyTypeObject*>(type.ptr());
    if (!(PyType_GetFlags(tp) & Py_TPFLAGS_MANAGED_DICT) && tp->tp_dictoffset == 0) return true;
    PyObject* dict = PyObject_GenericGetDict(self.ptr(), nullptr);
    if (!dict) throw nb::python_error();
    nb::dict own = nb::steal<nb::dict>(dict);
    return !own.contains(g_week_total_name);
}

// -------------------------------------------------------------- spans ---

// range(start, end + 1), with the interpreter's arithmetic and its errors.
nb::object python_range(nb::handle start, nb::handle end) {
    return builtin("range")(start, end + nb::int_(1));
}

// The weeks start..end (both included) as `range(start, end + 1)` forms them.
struct Span {
    bool empty = true;
    std::optional<std::int64_t> first;  // absent when too large to be a week
    nb::object first_obj;
    std::int64_t last = 0;
};

Span week_span(nb::handle start, nb::handle end) {
    constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
    Span s;
    if (PyLong_CheckExact(start.ptr()) && PyLong_CheckExact(end.ptr())) {
        auto a = as_int64(start), b = as_int64(end);
        if (a && b && *b < kMax) {
            s.empty = *a > *b;
            s.first = a;
            s.last = *b;
            return s;
        }
    }
    nb::object r = python_range(start, end);
    nb::object lo = r.attr("start"), stop = r.attr("stop");
    if (lo >= stop) return s;
    s.empty = false;
    s.first = as_int64(lo);
    s.first_obj = lo;
    auto last = as_int64(stop - nb::int_(1));
    s.last = last ? *last : kMax;  // a huge end: the data run out long before
    return s;
}

// The covered weeks of a span, in ascending order; the first uncovered week
// refuses the whole span.
template <class Visit>
void visit_span(const WeeklyTable& t, const Span& s, Visit&& visit) {
    if (s.empty) return;
    if (!s.first) refuse_week(t, s.first_obj);
    if (auto gap = narvo::core::first_uncovered(t, *s.first, s.last)) refuse_week(t, *gap);
    for (std::int64_t w = *s.first;; ++w) {
        visit(t.at(w));
        if (w == s.last) break;
    }
}

// ------------------------------------------------------------ queries ---

nb::object thermal_increment(nb::handle self, nb::handle week) {
    if (!uses_native_lookup(self)) return self.attr("_week_total")(week);
    return week_total(*native(self).table, week);
}

nb::object thermal_sum_between(nb::handle self, nb::handle start, nb::handle end) {
    if (!uses_native_lookup(self)) {
        // sum(map(self._week_total, range(start, end + 1)))
        nb::object lookup = self.attr("_week_total");
        nb::object weeks = python_range(start, end);
        return builtin("sum")(builtin("map")(lookup, weeks));
    }
    const WeeklyTable& t = *native(self).table;
    narvo::core::PythonSum sum;
    visit_span(t, week_span(start, end), [&](double v) { sum.add(v); });
    if (sum.empty()) return nb::int_(0);
    return nb::float_(sum.result());
}

nb::list thermal_trajectory(nb::handle self, nb::handle start, nb::handle end) {
    if (!uses_native_lookup(self)) {
        nb::list out;
        nb::object lookup = self.attr("_week_total");
        nb::object running = nb::float_(0.0);
        for (nb::handle w : python_range(start, end)) {
            running = running + lookup(w);
            out.append(running);
        }
        return out;
    }
    const WeeklyTable& t = *native(self).table;
    const Span span = week_span(start, end);
    std::vector<double> running;
    double total = 0.0;
    visit_span(t, span, [&](double v) {
        total += v;
        running.push_back(total);
    });
    nb::object list = nb::steal(PyList_New(static_cast<Py_ssize_t>(running.size())));
    if (!list.is_valid()) throw nb::python_error();
    for (std::size_t i = 0; i < running.size(); ++i) {
        PyObject* v = PyFloat_FromDouble(running[i]);
        if (!v) throw nb::python_error();
        PyList_SET_ITEM(list.ptr(), static_cast<Py_ssize_t>(i), v);
    }
    return nb::borrow<nb::list>(list);
}

}  // namespace

void add_thermal_queries(nb::class_<WeatherProviderNative>& provider) {
    provider.def(
        "_week_total",
        [](nb::handle self, nb::handle w) { return week_total(*native(self).table, w); },
        "week_index"_a.none(), nb::sig("def _week_total(self, week_index: int) -> float"),
        "The heat-unit total of a week with weather data; WeatherError otherwise.");
    g_native_week_total = narvo::bind::keep(class_attribute(provider, g_week_total_name));
    provider.def(
        "thermal_increment",
        [](nb::handle self, nb::handle w) { return thermal_increment(self, w); },
        "week_index"_a.none(), nb::sig("def thermal_increment(self, week_index: int) -> float"),
        "The heat units of week ``week_index``.");
    provider.def(
        "thermal_sum_between",
        [](nb::handle self, nb::handle a, nb::handle b) { return thermal_sum_between(self, a, b); },
        "start_week_index"_a.none(), "end_week_index"_a.none(),
        nb::sig("def thermal_sum_between(self, start_week_index: int, end_week_index: int) "
                "-> float"),
        "The heat units of the weeks from start to end, both included, summed as the\n"
        "built-in sum() does (the integer 0 when start is after end).");
    provider.def(
        "thermal_trajectory",
        [](nb::handle self, nb::handle a, nb::handle b) { return thermal_trajectory(self, a, b); },
        "start_week_index"_a.none(), "end_week_index"_a.none(),
        nb::sig("def thermal_trajectory(self, start_week_index: int, end_week_index: int) "
                "-> list[float]"),
        "The running heat-unit total after each week from start to end, both included.");
}

}  // namespace narvo::weather
