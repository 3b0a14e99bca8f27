// Records declared once, by a field table. A record type R declares
//
//   static constexpr auto table = std::make_tuple(
//       Field{"name", "annotation", "default literal" or nullptr, [](R& r) -> auto& {...}}, ...);
//
// and everything else follows from it: the field names (R::fields, the
// __match_args__, the column tuples), each field's value as a Python object
// (R::field(i), which add_record_protocol reads), the dataclass field table,
// the typed __init__ with its argument names, defaults and signature text,
// and, for a mutable record, a property per field.
#pragma once

#include "bind/record.hpp"
#include "modules/cohorts/common.hpp"

#include <array>
#include <cstddef>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>

namespace narvo::cohorts {

template <class Get>
struct Field {
    const char* name;
    const char* annotation;        // the type as the stubs show it
    const char* default_literal;   // a Python literal, or nullptr when required
    Get get;                       // R& -> the field's storage
};

template <class Get>
Field(const char*, const char*, const char*, Get) -> Field<Get>;

template <class R>
inline constexpr std::size_t field_count = std::tuple_size_v<std::remove_cvref_t<decltype(R::table)>>;

// The C++ type of field I of R.
template <class R, std::size_t I>
using field_type =
    std::remove_cvref_t<decltype(std::get<I>(R::table).get(std::declval<R&>()))>;

template <class R>
constexpr std::array<const char*, field_count<R>> field_names() {
    return [&]<std::size_t... I>(std::index_sequence<I...>) {
        return std::array<const char*, field_count<R>>{std::get<I>(R::table).name...};
    }(std::make_index_sequence<field_count<R>>{});
}

// Field i of `rec` as a Python object.
template <class R>
nb::object field_value(const R& rec, std::size_t i) {
    using Getter = nb::object (*)(const R&);
    static constexpr auto getters = []<std::size_t... I>(std::index_sequence<I...>) {
        return std::array<Getter, field_count<R>>{+[](const R& r) -> nb::object {
            return nb::cast(std::get<I>(R::table).get(const_cast<R&>(r)));
        }...};
    }(std::make_index_sequence<field_count<R>>{});
    return getters[i](rec);
}

// The fields' names as a Python tuple, in declaration order.
template <class R>
nb::tuple field_name_tuple() {
    nb::list names;
    for (const char* name : field_names<R>()) names.append(nb::str(name));
    return nb::tuple(names);
}

template <class R>
std::array<narvo::bind::FieldDecl, field_count<R>> field_decls() {
    std::array<narvo::bind::FieldDecl, field_count<R>> out;
    [&]<std::size_t... I>(std::index_sequence<I...>) {
        ((out[I] = {std::get<I>(R::table).name, std::get<I>(R::table).annotation, {}}), ...);
    }(std::make_index_sequence<field_count<R>>{});
    return out;
}

// The value of a default as written in the table.
nb::object literal_value(const char* literal);

template <class R>
std::string init_signature() {
    std::string sig = "def __init__(self";
    [&]<std::size_t... I>(std::index_sequence<I...>) {
        ((sig += std::string(", ") + std::get<I>(R::table).name + ": " +
                 std::get<I>(R::table).annotation +
                 (std::get<I>(R::table).default_literal
                      ? std::string(" = ") + std::get<I>(R::table).default_literal
                      : std::string())),
         ...);
    }(std::make_index_sequence<field_count<R>>{});
    return sig + ") -> None";
}

// The argument of field I: None accepted for an object field, the table's
// default when it has one (a required argument has none).
template <class R, std::size_t I>
auto field_arg() {
    constexpr auto& f = std::get<I>(R::table);
    auto a = [] {
        if constexpr (std::is_base_of_v<nb::handle, field_type<R, I>>)
            return nb::arg(std::get<I>(R::table).name).none();
        else
            return nb::arg(std::get<I>(R::table).name);
    }();
    using ArgV = decltype(a = nb::object());
    if (f.default_literal) return ArgV(a, literal_value(f.default_literal));
    return ArgV(a, nb::object());
}

// __init__(self, <fields in order>), each argument converted to its field's type.
template <class R, class Cls>
void def_init(Cls& cls) {
    [&]<std::size_t... I>(std::index_sequence<I...>) {
        cls.def(
            "__init__",
            [](R* self, field_type<R, I>... values) {
                R* rec = new (self) R();
                ((std::get<I>(R::table).get(*rec) = std::move(values)), ...);
            },
            field_arg<R, I>()..., nb::sig(narvo::bind::stable_cstr(init_signature<R>())));
    }(std::make_index_sequence<field_count<R>>{});
}

// The record behind a property's `self`: one never initialised is refused
// as the record protocol refuses it, anything else with a TypeError.
template <class R>
inline nb::handle g_bound_type;  // R's class, set when its properties are bound

template <class R>
R& field_owner(nb::handle self) {
    if (!self.type().is(g_bound_type<R>) && !nb::isinstance<R>(self))
        narvo::bind::raise_type_error("expected a " + std::string(nb::type_name(nb::type<R>()).c_str()) +
                                      ", got " + narvo::bind::py_repr(self.type()));
    return const_cast<R&>(narvo::bind::record_of<R>(self));
}

// A read-write property per field of a mutable record.
template <class R, class Cls>
void def_field_properties(Cls& cls) {
    g_bound_type<R> = cls;
    [&]<std::size_t... I>(std::index_sequence<I...>) {
        (
            [&] {
                constexpr auto& f = std::get<I>(R::table);
                using T = field_type<R, I>;
                std::string get_sig = std::string("def ") + f.name + "(self, /) -> " + f.annotation;
                std::string set_sig = std::string("def ") + f.name + "(self, value: " +
                                      f.annotation + ", /) -> None";
                cls.def_prop_rw(
                    f.name,
                    [](nb::handle self) { return std::get<I>(R::table).get(field_owner<R>(self)); },
                    [](nb::handle self, T v) { std::get<I>(R::table).get(field_owner<R>(self)) = std::move(v); },
                    nb::for_getter(nb::sig(narvo::bind::stable_cstr(get_sig))),
                    nb::for_setter(nb::sig(narvo::bind::stable_cstr(set_sig))));
            }(),
            ...);
    }(std::make_index_sequence<field_count<R>>{});
}

}  // namespace narvo::cohorts
