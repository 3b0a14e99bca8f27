// String-valued enumerations built through the enum module, so that they are
// real enum.Enum subclasses mixed with str.
#pragma once

#include "bind/py.hpp"

#include <utility>
#include <vector>

namespace narvo::bind {

// Enum(name, [(member, value), ...], type=str, module=module.__name__)
inline nb::object make_str_enum(nb::module_& m, const char* name,
                                const std::vector<std::pair<const char*, const char*>>& members,
                                const char* doc) {
    nb::list items;
    for (auto& [member, value] : members) items.append(nb::make_tuple(member, value));
    nb::object Enum = import_attr("enum", "Enum");
    nb::object cls = Enum(name, items, nb::arg("module") = m.attr("__name__"),
                          nb::arg("qualname") = name, nb::arg("type") = nb::module_::import_("builtins").attr("str"));
    cls.attr("__doc__") = nb::str(doc);
    m.attr(name) = cls;
    return cls;
}

}  // namespace narvo::bind
