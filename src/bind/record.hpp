// Record classes: native classes that behave like Python dataclasses.
//
// A record type T provides
//   static constexpr std::array<const char*, N> fields;   // declaration order
//   nb::object field(size_t i) const;                     // field i as a Python object
// and its own __init__. add_record_protocol() then gives the class what a
// dataclass would have: value equality over the fields in declaration order
// (NotImplemented for foreign types), hashing over the same tuple when
// immutable, a dataclass-style repr, __match_args__, __replace__ (copy.replace)
// and pickling through the positional constructor. Frozen records refuse
// every attribute assignment or deletion with dataclasses.FrozenInstanceError.
#pragma once

#include "bind/py.hpp"

#include <array>
#include <string>
#include <vector>

namespace narvo::bind {

struct FieldDecl {
    const char* name;
    const char* annotation;  // the field's type as the stubs show it
};

template <class T>
nb::tuple record_values(const T& self) {
    nb::list values;
    for (size_t i = 0; i < T::fields.size(); ++i) values.append(self.field(i));
    return nb::tuple(values);
}

inline nb::handle frozen_instance_error() {
    static nb::handle cls = keep(import_attr("dataclasses", "FrozenInstanceError"));
    return cls;
}

[[noreturn]] inline void raise_frozen(nb::handle name, bool deleting) {
    std::string msg = std::string(deleting ? "cannot delete field " : "cannot assign to field ") +
                      py_repr(name);
    raise(frozen_instance_error(), msg);
}

struct RecordOptions {
    bool frozen = true;
    bool hashable = true;
    // Read-only properties for the fields; mutable records bind their own.
    bool field_properties = true;
};

template <class T, class... Extra>
void add_record_protocol(nb::class_<T, Extra...>& cls,
                         const std::array<FieldDecl, T::fields.size()>& decls,
                         RecordOptions opts = {}) {
    nb::list names;
    for (auto& s : decls) names.append(nb::str(s.name));
    nb::tuple name_tuple(names);

    if (opts.field_properties) {
        for (size_t i = 0; i < decls.size(); ++i) {
            std::string sig = std::string("def ") + decls[i].name + "(self, /) -> " +
                              decls[i].annotation;
            nb::object getter = nb::cpp_function(
                [i](const T& self) { return self.field(i); }, nb::is_method(),
                nb::name(decls[i].name), nb::scope(cls), nb::sig(stable_cstr(sig)));
            nb::setattr(cls, decls[i].name,
                        nb::borrow(reinterpret_cast<PyObject*>(&PyProperty_Type))(getter));
        }
    }

    cls.def("_values", [](const T& self) { return record_values(self); },
            "The field values in declaration order.");

    cls.def(
        "__eq__",
        [](nb::handle self, nb::handle other) -> nb::object {
            if (!other.type().is(self.type())) return nb::borrow(Py_NotImplemented);
            nb::tuple a = record_values(nb::cast<const T&>(self));
            nb::tuple b = record_values(nb::cast<const T&>(other));
            int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_EQ);
            if (r < 0) throw nb::python_error();
            return nb::bool_(r == 1);
        },
        nb::sig("def __eq__(self, other: object, /) -> bool"));

    if (opts.hashable) {
        cls.def("__hash__", [](const T& self) { return nb::hash(record_values(self)); });
    } else {
        nb::setattr(cls, "__hash__", nb::none());
    }

    cls.def("__repr__", [decls](nb::handle self) {
        const T& rec = nb::cast<const T&>(self);
        std::string out = nb::borrow<nb::str>(nb::getattr(self.type(), "__qualname__")).c_str();
        out += "(";
        for (size_t i = 0; i < decls.size(); ++i) {
            if (i) out += ", ";
            out += decls[i].name;
            out += "=";
            out += py_repr(rec.field(i));
        }
        out += ")";
        return out;
    });

    nb::setattr(cls, "__match_args__", name_tuple);
    nb::setattr(cls, "__slots__", name_tuple);

    cls.def(
        "__replace__",
        [name_tuple](nb::handle self, nb::kwargs changes) {
            nb::tuple values = record_values(nb::cast<const T&>(self));
            nb::dict kwargs;
            for (size_t i = 0; i < name_tuple.size(); ++i) kwargs[name_tuple[i]] = values[i];
            for (auto [k, v] : changes) kwargs[k] = v;
            return self.type()(**kwargs);
        },
        nb::sig("def __replace__(self, /, **changes: typing.Any) -> typing.Self"));

    cls.def("__reduce__", [](nb::handle self) {
        return nb::make_tuple(self.type(), record_values(nb::cast<const T&>(self)));
    });
    cls.def("__copy__", [](nb::handle self) { return nb::borrow(self); });

    if (opts.frozen) {
        cls.def(
            "__setattr__",
            [](nb::handle, nb::handle name, nb::handle) { raise_frozen(name, false); },
            nb::sig("def __setattr__(self, name: str, value: typing.Any, /) -> typing.NoReturn"));
        cls.def(
            "__delattr__", [](nb::handle, nb::handle name) { raise_frozen(name, true); },
            nb::sig("def __delattr__(self, name: str, /) -> typing.NoReturn"));
        cls.def("__deepcopy__", [](nb::handle self, nb::handle memo) {
            nb::object deepcopy = import_attr("copy", "deepcopy");
            nb::tuple values = record_values(nb::cast<const T&>(self));
            return self.type()(*deepcopy(values, memo));
        });
    }
}

// Field storage for records whose fields are plain Python objects.
template <size_t N>
struct ObjectFields {
    std::array<nb::object, N> values;
    nb::object field(size_t i) const { return values[i]; }
};

}  // namespace narvo::bind
