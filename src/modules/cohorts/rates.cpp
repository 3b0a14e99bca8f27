#include "modules/cohorts/rates.hpp"

#include <cmath>

namespace narvo::cohorts {

const double* RatesMap::doubles() const {
    switch (column) {
        case thermal_age: return data->thermal_age;
        case exit: return data->exit;
        case death: return data->death;
        default: return data->sucker;
    }
}

nb::object RatesMap::at(std::size_t i) const {
    if (column == counters) return nb::make_tuple(data->wf[i], data->ws[i], data->wh[i]);
    return nb::float_(doubles()[i]);
}

std::int64_t RatesMap::position(nb::handle key) const {
    std::int64_t i = -1;
    if (PyLong_Check(key.ptr())) {
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(key.ptr(), &overflow);
        if (v == -1 && PyErr_Occurred()) throw nb::python_error();
        if (!overflow) i = v;
    } else if (PyFloat_Check(key.ptr())) {
        double v = PyFloat_AS_DOUBLE(key.ptr());
        if (v >= 0.0 && v < 9.0e15 && std::floor(v) == v) i = static_cast<std::int64_t>(v);
    } else if (PyIndex_Check(key.ptr())) {
        i = narvo::bind::as_index(key);
    } else {
        nb::hash(key);  // unhashable raises, as for a dict
    }
    return (i >= 0 && static_cast<std::size_t>(i) < size()) ? i : -1;
}

nb::object ChainRates::field(std::size_t i) const {
    nb::object& v = values[i];
    if (!v.is_valid() && native) {
        const StepRates& r = *native;
        switch (i) {
            case 0: case 1: case 2: case 3: case 4:
                v = nb::cast(RatesMap{native, static_cast<RatesMap::Column>(i)});
                break;
            case 5: v = nb::float_(r.sum_exit); break;
            case 6: v = nb::float_(r.sum_sucker); break;
            case 7: v = nb::float_(r.sum_death); break;
            default: v = nb::float_(r.sum_sucker_parous); break;
        }
    }
    return v;
}

nb::object new_chain_rates(std::shared_ptr<const StepRates> rates) {
    nb::object obj = nb::inst_alloc(g.chain_rates_type);
    new (nb::inst_ptr<ChainRates>(obj)) ChainRates{{std::move(rates), {}}};
    nb::inst_mark_ready(obj);
    return obj;
}

const RatesMap* native_map(nb::handle obj, bool counters) {
    if (!obj.type().is(g.rates_map_type)) return nullptr;
    const RatesMap* m = &constructed<RatesMap>(obj, "_RatesMap");
    return (m->column == RatesMap::counters) == counters ? m : nullptr;
}

namespace {

[[noreturn]] void raise_key_error(nb::handle key) {
    PyErr_SetObject(PyExc_KeyError, key.ptr());
    throw nb::python_error();
}

nb::handle dict_type() { return reinterpret_cast<PyObject*>(&PyDict_Type); }

void add_rates_map(nb::module_& m) {
    auto rates_map = nb::class_<RatesMap>(
        m, "_RatesMap",
        "One column of a week's rates by cohort position: a read-only mapping over the\n"
        "numbers the weekly step computed.");
    rates_map.def("__len__", [](const RatesMap& r) { return r.size(); });
    rates_map.def(
        "__getitem__",
        [](const RatesMap& r, nb::handle key) {
            std::int64_t i = r.position(key);
            if (i < 0) raise_key_error(key);
            return r.at(static_cast<std::size_t>(i));
        },
        "key"_a.none(), nb::sig("def __getitem__(self, key: int, /) -> typing.Any"));
    rates_map.def(
        "__iter__",
        [](const RatesMap& r) {
            return nb::iter(nb::borrow(reinterpret_cast<PyObject*>(&PyRange_Type))(r.size()));
        },
        nb::sig("def __iter__(self) -> typing.Iterator[int]"));
    rates_map.def(
        "__contains__", [](const RatesMap& r, nb::handle key) { return r.position(key) >= 0; },
        "key"_a.none(), nb::sig("def __contains__(self, key: object, /) -> bool"));
    rates_map.def(
        "get",
        [](const RatesMap& r, nb::handle key, nb::handle fallback) -> nb::object {
            std::int64_t i = r.position(key);
            if (i < 0) return nb::borrow(fallback);
            return r.at(static_cast<std::size_t>(i));
        },
        "key"_a.none(), "default"_a.none() = nb::none(),
        nb::sig("def get(self, key: int, default: typing.Any = None, /) -> typing.Any"));
    rates_map.def("__repr__", [](nb::handle self) {
        return narvo::bind::py_repr(dict_type()(self.attr("items")()));
    });
    rates_map.def("__reduce__", [](nb::handle self) {
        return nb::make_tuple(dict_type(), nb::make_tuple(nb::list(self.attr("items")())));
    });
    nb::object mapping = narvo::bind::import_attr("collections.abc", "Mapping");
    for (const char* name : {"keys", "items", "values", "__eq__"})
        nb::setattr(rates_map, name, mapping.attr(name));
    nb::setattr(rates_map, "__hash__", nb::none());
    mapping.attr("register")(rates_map);
    g.rates_map_type = rates_map;
}

}  // namespace

void add_rates(nb::module_& m) {
    add_rates_map(m);
    auto chain_rates = nb::class_<ChainRates>(
        m, "_ChainRates",
        "One week's rates of a chain, by cohort position in the chain's list as it stood\n"
        "when they were computed: new thermal ages and counters (flowering, sucker,\n"
        "harvest), plants leaving the chain, deaths and suckers, and their sums.");
    def_init<ChainRates>(chain_rates);
    narvo::bind::add_record_protocol(chain_rates, field_decls<ChainRates>());
    g.chain_rates_type = chain_rates;
}

}  // namespace narvo::cohorts
