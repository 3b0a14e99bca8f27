// Record classes: native classes that behave like Python dataclasses.
//
// A record type T provides
//   static constexpr std::array<const char*, N> fields;   // declaration order
//   nb::object field(size_t i) const;                     // field i as a Python object
// and its own __init__. add_record_protocol() then gives the class what a
// dataclass would have: value equality over the fields in declaration order
// (NotImplemented for foreign types, None included), hashing over the same
// tuple when immutable, a dataclass-style repr, __match_args__, __replace__
// (copy.replace), copying, pickling through the positional constructor, and
// the dataclass field table (__dataclass_fields__, __dataclass_params__), so
// that dataclasses.fields / asdict / astuple / replace / is_dataclass apply.
// Frozen records refuse every attribute assignment or deletion with
// dataclasses.FrozenInstanceError.
#pragma once

#include "bind/py.hpp"

#include <nanobind/eval.h>

#include <array>
#include <string>
#include <vector>

namespace narvo::bind {

// One field of a record, in declaration order. `default_value` is the value
// the constructor supplies when the argument is left out; leave it unset when
// the field is required or when the __init__ signature states it.
struct FieldDecl {
    const char* name;
    const char* annotation;  // the field's type as the stubs show it
    nb::object default_value = {};
};

template <class T>
nb::tuple record_values(const T& self) {
    nb::list values;
    for (size_t i = 0; i < T::fields.size(); ++i) values.append(self.field(i));
    return nb::tuple(values);
}

// The native record behind `self`. An instance made by T.__new__(T) alone (or
// by a subclass whose __init__ never called up) holds no fields yet: every
// protocol method refuses it with a TypeError rather than reading it.
template <class T>
const T& record_of(nb::handle self) {
    if (!nb::inst_ready(self))
        raise_instance_of(PyExc_TypeError,
                          concat({nb::str("this "), nb::str(nb::getattr(self.type(), "__qualname__")),
                                  nb::str(" was never initialised")}));
    return *nb::inst_ptr<T>(self);
}

template <class T>
nb::tuple record_values(nb::handle self) {
    return record_values(record_of<T>(self));
}

// Namespace scope, no C++ guard: see LazyAttr.
inline LazyAttr g_frozen_instance_error{"dataclasses", "FrozenInstanceError"};
inline LazyAttr g_deepcopy{"copy", "deepcopy"};

[[noreturn]] inline void raise_frozen(nb::handle name, bool deleting) {
    std::string msg = std::string(deleting ? "cannot delete field " : "cannot assign to field ") +
                      py_repr(name);
    raise(g_frozen_instance_error.get(), msg);
}

// The defaults of a class's __init__ by parameter name, read from the
// signature nanobind shows for it (literal defaults only): the stubs and the
// dataclass field table then state the same defaults.
inline nb::dict init_defaults(nb::handle cls) {
    nb::dict scope;
    scope["init"] = nb::getattr(cls, "__init__");
    nb::exec(R"(
import ast
defaults = {}
signatures = getattr(init, "__nb_signature__", ())
if signatures:
    params = ast.parse(signatures[0][0] + ": ...").body[0].args
    positional = params.posonlyargs + params.args
    pairs = list(zip(positional[len(positional) - len(params.defaults):], params.defaults))
    pairs += [(a, d) for a, d in zip(params.kwonlyargs, params.kw_defaults) if d is not None]
    for arg, node in pairs:
        try:
            defaults[arg.arg] = ast.literal_eval(node)
        except ValueError:
            pass
)",
             scope);
    return nb::borrow<nb::dict>(scope["defaults"]);
}

// Give `cls` the field table of a dataclass with these fields, built by
// dataclasses.make_dataclass so that every function of the dataclasses
// module reads it as it reads its own. Call at module init, after __init__.
// A field's default is its declared one, else its constructor's; the two
// must agree when both are given.
inline void add_dataclass_fields(nb::handle cls, const FieldDecl* decls, size_t count,
                                 bool frozen) {
    nb::module_ dataclasses = nb::module_::import_("dataclasses");
    nb::dict from_init = init_defaults(cls);
    nb::list field_entries, names;
    for (size_t i = 0; i < count; ++i) {
        nb::str name(decls[i].name);
        names.append(name);
        nb::object dflt = decls[i].default_value;
        if (from_init.contains(name)) {
            nb::object shown = from_init[name];
            if (dflt.is_valid() && !(dflt.is(shown) || dflt.equal(shown)))
                raise(PyExc_RuntimeError,
                      py_str(nb::getattr(cls, "__qualname__")) + "." + decls[i].name +
                          ": declared default " + py_repr(dflt) +
                          " differs from the constructor's " + py_repr(shown));
            if (!dflt.is_valid()) dflt = shown;
        }
        if (dflt.is_valid())
            field_entries.append(nb::make_tuple(name, decls[i].annotation,
                                        dataclasses.attr("field")(nb::arg("default") = dflt)));
        else
            field_entries.append(nb::make_tuple(name, decls[i].annotation));
    }
    nb::object shadow = dataclasses.attr("make_dataclass")(
        nb::getattr(cls, "__name__"), field_entries, nb::arg("frozen") = frozen,
        nb::arg("module") = nb::getattr(cls, "__module__"));
    nb::setattr(cls, "__dataclass_fields__", shadow.attr("__dataclass_fields__"));
    nb::setattr(cls, "__dataclass_params__", shadow.attr("__dataclass_params__"));
    nb::setattr(cls, "__match_args__", nb::tuple(names));
}

inline const nb::sig kCopySig{"def __copy__(self) -> typing.Self"};
inline const nb::sig kDeepcopySig{
    "def __deepcopy__(self, memo: dict[int, typing.Any], /) -> typing.Self"};

struct RecordOptions {
    bool frozen = true;
    bool hashable = true;
    // Read-only properties for the fields; mutable records bind their own.
    bool field_properties = true;
};

// __setattr__ / __delattr__ of a frozen record. The value may be anything,
// None included: every assignment is refused the same way.
template <class Cls>
void refuse_assignment(Cls& cls) {
    cls.def(
        "__setattr__",
        [](nb::handle, nb::handle name, nb::handle) { raise_frozen(name, false); },
        nb::arg().none(), nb::arg().none(),
        nb::sig("def __setattr__(self, name: str, value: typing.Any, /) -> typing.NoReturn"));
    cls.def(
        "__delattr__", [](nb::handle, nb::handle name) { raise_frozen(name, true); },
        nb::arg().none(), nb::sig("def __delattr__(self, name: str, /) -> typing.NoReturn"));
}

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
                [i](nb::handle self) { return record_of<T>(self).field(i); }, nb::is_method(),
                nb::name(decls[i].name), nb::scope(cls), nb::sig(stable_cstr(sig)));
            nb::setattr(cls, decls[i].name,
                        nb::borrow(reinterpret_cast<PyObject*>(&PyProperty_Type))(getter));
        }
    }

    cls.def("_values", [](nb::handle self) { return record_values<T>(self); },
            nb::sig("def _values(self) -> tuple[typing.Any, ...]"),
            "The field values in declaration order.");

    cls.def(
        "__eq__",
        [](nb::handle self, nb::handle other) -> nb::object {
            if (!other.type().is(self.type())) return nb::borrow(Py_NotImplemented);
            nb::tuple a = record_values<T>(self);
            nb::tuple b = record_values<T>(other);
            int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_EQ);
            if (r < 0) throw nb::python_error();
            return nb::bool_(r == 1);
        },
        nb::arg().none(), nb::sig("def __eq__(self, other: object, /) -> bool"));

    if (opts.hashable) {
        cls.def("__hash__", [](nb::handle self) { return nb::hash(record_values<T>(self)); },
                nb::sig("def __hash__(self) -> int"));
    } else {
        nb::setattr(cls, "__hash__", nb::none());
    }

    std::vector<std::string> field_names;
    for (auto& d : decls) field_names.emplace_back(d.name);
    cls.def("__repr__", [field_names](nb::handle self) {
        const T& rec = record_of<T>(self);
        std::string out = nb::borrow<nb::str>(nb::getattr(self.type(), "__qualname__")).c_str();
        out += "(";
        for (size_t i = 0; i < field_names.size(); ++i) {
            if (i) out += ", ";
            out += field_names[i];
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
            nb::tuple values = record_values<T>(self);
            nb::dict kwargs;
            for (size_t i = 0; i < name_tuple.size(); ++i) kwargs[name_tuple[i]] = values[i];
            for (auto [k, v] : changes) kwargs[k] = v;
            return self.type()(**kwargs);
        },
        nb::sig("def __replace__(self, /, **changes: typing.Any) -> typing.Self"));

    cls.def(
        "__reduce__",
        [](nb::handle self) {
            return nb::make_tuple(self.type(), record_values<T>(self));
        },
        nb::sig("def __reduce__(self) -> tuple[typing.Any, ...]"));

    // A frozen record is its own copy (as a frozen dataclass's tuple-like
    // values are); a mutable one is copied into a new, equal record.
    nb::handle deepcopy = g_deepcopy.get();
    if (opts.frozen) {
        cls.def(
            "__copy__",
            [](nb::handle self) {
                record_of<T>(self);
                return nb::borrow(self);
            },
            kCopySig);
        refuse_assignment(cls);
    } else {
        cls.def(
            "__copy__",
            [](nb::handle self) { return self.type()(*record_values<T>(self)); },
            kCopySig);
    }
    cls.def(
        "__deepcopy__",
        [deepcopy](nb::handle self, nb::handle memo) {
            nb::tuple values = record_values<T>(self);
            return self.type()(*deepcopy(values, memo));
        },
        kDeepcopySig);

    add_dataclass_fields(cls, decls.data(), decls.size(), opts.frozen);
}

// Field storage for records whose fields are plain Python objects.
template <size_t N>
struct ObjectFields {
    std::array<nb::object, N> values;
    nb::object field(size_t i) const { return values[i]; }
};

// A read-only mapping over a dict that its record keeps private: lookups go
// straight to the dict, nothing can change it. Unlike types.MappingProxyType
// it copies and pickles (as a plain dict), so a record holding one can still
// be deep-copied and turned into a dict by dataclasses.asdict. Tag makes each
// module's view its own C++ type (nanobind binds a C++ type once).
template <class Tag>
struct DictView {
    nb::dict items;
};

inline LazyAttr g_mapping_abc{"collections.abc", "Mapping"};

template <class Tag>
nb::handle bind_dict_view(nb::module_& m, const char* name, const char* key_type,
                          const char* value_type) {
    using View = DictView<Tag>;
    auto cls = nb::class_<View>(m, name,
                                "A read-only view of a record's mapping; copies and pickles as "
                                "a dict.");
    std::string k = key_type, v = value_type;
    cls.def("__len__", [](const View& view) { return view.items.size(); });
    cls.def(
        "__getitem__",
        [](const View& view, nb::handle key) -> nb::object {
            PyObject* found = PyDict_GetItemWithError(view.items.ptr(), key.ptr());
            if (found) return nb::borrow(found);
            if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, key.ptr());
            throw nb::python_error();
        },
        nb::arg().none(),
        nb::sig(stable_cstr("def __getitem__(self, key: " + k + ", /) -> " + v)));
    cls.def(
        "__iter__", [](const View& view) { return nb::iter(view.items); },
        nb::sig(stable_cstr("def __iter__(self) -> collections.abc.Iterator[" + k + "]")));
    cls.def(
        "__contains__",
        [](const View& view, nb::handle key) {
            int r = PyDict_Contains(view.items.ptr(), key.ptr());
            if (r < 0) throw nb::python_error();
            return r == 1;
        },
        nb::arg().none(), nb::sig("def __contains__(self, key: object, /) -> bool"));
    cls.def(
        "get",
        [](const View& view, nb::handle key, nb::handle fallback) -> nb::object {
            PyObject* found = PyDict_GetItemWithError(view.items.ptr(), key.ptr());
            if (found) return nb::borrow(found);
            if (PyErr_Occurred()) throw nb::python_error();
            return nb::borrow(fallback);
        },
        nb::arg().none(), nb::arg().none() = nb::none(),
        nb::sig(stable_cstr("def get(self, key: " + k + ", default: typing.Any = None, /) -> " +
                            "typing.Any")));
    cls.def(
        "keys", [](const View& view) { return view.items.attr("keys")(); },
        nb::sig(stable_cstr("def keys(self) -> collections.abc.KeysView[" + k + "]")));
    cls.def(
        "values", [](const View& view) { return view.items.attr("values")(); },
        nb::sig(stable_cstr("def values(self) -> collections.abc.ValuesView[" + v + "]")));
    cls.def(
        "items", [](const View& view) { return view.items.attr("items")(); },
        nb::sig(stable_cstr("def items(self) -> collections.abc.ItemsView[" + k + ", " + v + "]")));
    cls.def(
        "__eq__",
        [](const View& view, nb::handle other) -> nb::object {
            nb::handle mapping = g_mapping_abc.get();
            if (!nb::isinstance(other, mapping)) return nb::borrow(Py_NotImplemented);
            nb::object theirs = nb::borrow(reinterpret_cast<PyObject*>(&PyDict_Type))(
                nb::borrow(other).attr("items")());
            int r = PyObject_RichCompareBool(view.items.ptr(), theirs.ptr(), Py_EQ);
            if (r < 0) throw nb::python_error();
            return nb::bool_(r == 1);
        },
        nb::arg().none(), nb::sig("def __eq__(self, other: object, /) -> bool"));
    nb::setattr(cls, "__hash__", nb::none());
    cls.def("__repr__", [](const View& view) { return py_repr(view.items); });
    // A copy is a new dict: the copy is the caller's to change.
    cls.def(
        "copy", [](const View& view) { return nb::steal<nb::dict>(PyDict_Copy(view.items.ptr())); },
        nb::sig(stable_cstr("def copy(self) -> dict[" + k + ", " + v + "]")));
    cls.def(
        "__copy__",
        [](const View& view) { return nb::steal<nb::dict>(PyDict_Copy(view.items.ptr())); },
        nb::sig(stable_cstr("def __copy__(self) -> dict[" + k + ", " + v + "]")));
    cls.def(
        "__deepcopy__",
        [](const View& view, nb::handle memo) { return g_deepcopy.get()(view.items, memo); },
        nb::sig(stable_cstr("def __deepcopy__(self, memo: dict[int, typing.Any], /) -> dict[" + k +
                            ", " + v + "]")));
    cls.def(
        "__reduce__",
        [](const View& view) {
            return nb::make_tuple(nb::borrow(reinterpret_cast<PyObject*>(&PyDict_Type)),
                                  nb::make_tuple(nb::steal<nb::dict>(PyDict_Copy(view.items.ptr()))));
        },
        nb::sig("def __reduce__(self) -> tuple[typing.Any, ...]"));
    g_mapping_abc.get().attr("register")(cls);
    return cls;
}

}  // namespace narvo::bind
