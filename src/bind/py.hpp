// Small helpers over the Python C API and nanobind that every module shares:
// cached imports, texts in the interpreter's repr form, raising exceptions
// (with a cause) and keeping interned objects alive for the process.
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <deque>
#include <string>
#include <string_view>
#include <utility>

namespace narvo::bind {

namespace nb = nanobind;

// An object that lives until the interpreter exits. Module-level statics of
// type nb::object would be decref'd after finalisation; these are not.
// Such objects are leaked on purpose, so nanobind's report of instances still
// alive at exit would only list these.
inline nb::handle keep(nb::object obj) {
    nb::set_leak_warnings(false);
    return obj.release();
}

// Import `module` and return its attribute `name`, as a new reference.
inline nb::object import_attr(const char* module, const char* name) {
    return nb::module_::import_(module).attr(name);
}

// An attribute of another module, imported on first use and kept for the
// process. Declare it at namespace scope (constant-initialised, so no C++
// guard): a function-local static initialised by an import would deadlock,
// because the import can release the GIL while a second thread waits on the
// static's guard holding it. Two threads may both import; one result is kept.
//   narvo::bind::LazyAttr g_to_datetime{"pandas", "to_datetime"};
//   g_to_datetime.get()(...)
struct LazyAttr {
    const char* module;
    const char* name;
    PyObject* value = nullptr;

    nb::handle get() {
        if (!value) {
            nb::object found = import_attr(module, name);
            if (!value) value = keep(std::move(found)).ptr();
        }
        return value;
    }
};

// A stable C string for nb::sig and docstrings built at run time.
inline const char* stable_cstr(std::string text) {
    static std::deque<std::string> store;
    store.push_back(std::move(text));
    return store.back().c_str();
}

inline std::string py_repr(nb::handle h) { return nb::borrow<nb::str>(nb::repr(h)).c_str(); }
inline std::string py_str(nb::handle h) { return nb::borrow<nb::str>(nb::str(h)).c_str(); }

// The repr of a Python text, e.g. quote("a'b") == "\"a'b\"".
inline std::string quote(std::string_view text) {
    return py_repr(nb::str(text.data(), text.size()));
}

// The list repr of a sequence of Python objects: "['a', 'b']".
inline std::string list_repr(nb::handle iterable) {
    return py_repr(nb::list(iterable));
}

// Raise `type(message)` as the current Python exception.
[[noreturn]] inline void raise(nb::handle type, const std::string& message) {
    PyErr_SetObject(type.ptr(), nb::str(message.c_str(), message.size()).ptr());
    throw nb::python_error();
}

// Raise `type(message)` from `cause`, as `raise type(message) from cause`.
[[noreturn]] inline void raise_from(nb::handle type, const std::string& message,
                                    nb::handle cause) {
    nb::object exc = type(nb::str(message.c_str(), message.size()));
    PyException_SetCause(exc.ptr(), nb::borrow(cause).release().ptr());
    PyException_SetContext(exc.ptr(), nb::borrow(cause).release().ptr());
    PyErr_SetObject(type.ptr(), exc.ptr());
    throw nb::python_error();
}

[[noreturn]] inline void raise_value_error(const std::string& message) {
    raise(PyExc_ValueError, message);
}

[[noreturn]] inline void raise_type_error(const std::string& message) {
    raise(PyExc_TypeError, message);
}

// True when `err` is an instance of any of the given exception types.
inline bool error_matches(const nb::python_error& err, std::initializer_list<PyObject*> types) {
    for (PyObject* t : types)
        if (err.matches(t)) return true;
    return false;
}

// Concatenate Python texts without a round trip through UTF-8, so that every
// text the interpreter can hold (lone surrogates included) comes through.
inline nb::str concat(std::initializer_list<nb::handle> parts) {
    nb::list items;
    for (nb::handle part : parts) items.append(part);
    PyObject* joined = PyUnicode_Join(nb::str("").ptr(), items.ptr());
    if (!joined) throw nb::python_error();
    return nb::steal<nb::str>(joined);
}

// Raise the exception instance that `type(message)` builds, as `raise
// type(message)` would: a callable that returns no exception is a TypeError.
[[noreturn]] inline void raise_instance_of(nb::handle type, nb::handle message) {
    nb::object exc = type(message);
    if (!PyExceptionInstance_Check(exc.ptr()))
        raise(PyExc_TypeError, "exceptions must derive from BaseException");
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.ptr())), exc.ptr());
    throw nb::python_error();
}

// As raise_instance_of, with `cause` attached: `raise type(message) from cause`.
[[noreturn]] inline void raise_instance_from(nb::handle type, nb::handle message,
                                             nb::handle cause) {
    nb::object exc = type(message);
    if (!PyExceptionInstance_Check(exc.ptr()))
        raise(PyExc_TypeError, "exceptions must derive from BaseException");
    PyException_SetCause(exc.ptr(), nb::borrow(cause).release().ptr());
    PyException_SetContext(exc.ptr(), nb::borrow(cause).release().ptr());
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.ptr())), exc.ptr());
    throw nb::python_error();
}

// Install `fn`, a function whose first parameter is the class, as the
// classmethod `name` of `cls` (nanobind's def_static cannot receive the class).
inline void add_classmethod(nb::handle cls, const char* name, nb::object fn) {
    nb::object method = nb::borrow(reinterpret_cast<PyObject*>(&PyClassMethod_Type))(fn);
    nb::setattr(cls, name, method);
}

}  // namespace narvo::bind
