// Reading numbers out of Python objects the way the interpreter (and
// nanobind's argument conversion) would.
#pragma once

#include "bind/py.hpp"

#include <cstdint>

namespace narvo::bind {

// `float(obj)` as nanobind converts a float argument: floats, ints and objects
// with __float__ or __index__. False (with no Python error set) otherwise.
inline bool try_double(nb::handle obj, double& out) {
    if (PyFloat_CheckExact(obj.ptr())) {
        out = PyFloat_AS_DOUBLE(obj.ptr());
        return true;
    }
    double v = PyFloat_AsDouble(obj.ptr());
    if (v == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    out = v;
    return true;
}

// As try_double, raising the interpreter's own TypeError on failure.
inline double as_double(nb::handle obj) {
    if (PyFloat_CheckExact(obj.ptr())) return PyFloat_AS_DOUBLE(obj.ptr());
    double v = PyFloat_AsDouble(obj.ptr());
    if (v == -1.0 && PyErr_Occurred()) throw nb::python_error();
    return v;
}

// `operator.index(obj)` as a 64-bit integer (TypeError / OverflowError otherwise).
inline std::int64_t as_index(nb::handle obj) {
    if (PyLong_CheckExact(obj.ptr())) {
        long long v = PyLong_AsLongLong(obj.ptr());
        if (v == -1 && PyErr_Occurred()) throw nb::python_error();
        return v;
    }
    nb::object i = nb::steal(PyNumber_Index(obj.ptr()));
    if (!i.is_valid()) throw nb::python_error();
    long long v = PyLong_AsLongLong(i.ptr());
    if (v == -1 && PyErr_Occurred()) throw nb::python_error();
    return v;
}

// `int(obj)` as a 64-bit integer: truncates floats toward zero, parses texts.
inline std::int64_t as_int(nb::handle obj) {
    nb::object i = nb::steal(PyNumber_Long(obj.ptr()));
    if (!i.is_valid()) throw nb::python_error();
    long long v = PyLong_AsLongLong(i.ptr());
    if (v == -1 && PyErr_Occurred()) throw nb::python_error();
    return v;
}

// `float(obj)`: also parses texts, as the built-in does.
inline double as_float(nb::handle obj) {
    if (PyFloat_CheckExact(obj.ptr())) return PyFloat_AS_DOUBLE(obj.ptr());
    nb::object f = nb::steal(PyNumber_Float(obj.ptr()));
    if (!f.is_valid()) throw nb::python_error();
    return PyFloat_AS_DOUBLE(f.ptr());
}

// `obj[key]`, errors of the mapping passing through.
inline nb::object item(nb::handle mapping, nb::handle key) {
    PyObject* r = PyObject_GetItem(mapping.ptr(), key.ptr());
    if (!r) throw nb::python_error();
    return nb::steal(r);
}

inline nb::object item(nb::handle mapping, const char* key) {
    return item(mapping, nb::str(key));
}

}  // namespace narvo::bind
