// py_narvo_pop.parameters: the model's parameter set. Five read-only groups of
// key -> value, checked once when the set is built so that a bad value is
// reported by name before a run starts rather than deep inside a weekly step.
#include "bind/py.hpp"
#include "bind/record.hpp"

#include <nanobind/stl/string.h>

#include <array>
#include <cmath>
#include <string>
#include <vector>

namespace nb = nanobind;
using namespace nb::literals;
using narvo::bind::concat;

namespace {

// ---------------------------------------------------------------- schema ---

enum class Rule { Real, NonNegative, Positive, Rate, WholeDays, Text, Choice };

// How a rule reads in an error message: "... must be <what>, got <value>".
const char* rule_text(Rule rule) {
    switch (rule) {
        case Rule::Real: return "a finite real number";
        case Rule::NonNegative: return "a finite real number >= 0";
        case Rule::Positive: return "a finite real number > 0";
        case Rule::Rate: return "a weekly rate between 0 and 1";
        case Rule::WholeDays: return "a positive whole number of days";
        default: return "a text";  // a Choice that is not a text at all reads the same
    }
}

struct KeyRule {
    const char* key;
    Rule rule;
    double number;      // default of a numeric key (an int when it counts whole units)
    const char* text;   // default of a text key
    const char* doc;    // meaning and unit
    bool whole = false; // the default is written as an int
    std::vector<const char*> choices = {};  // the texts a Choice key accepts
};

struct GroupRule {
    const char* name;
    std::vector<KeyRule> keys;
};

constexpr size_t kGroups = 5;

// Plain C++ data: its initialisation runs no Python code, so the guard of
// this static can never be waited on by a thread holding the GIL.
const std::array<GroupRule, kGroups>& schema() {
    static const std::array<GroupRule, kGroups> groups = {{
        {"general",
         {{"base_temperature_c", Rule::Real, 14.0, nullptr,
           "degrees Celsius; daily heat units are the mean temperature above it"},
          {"week_length_days", Rule::WholeDays, 7, nullptr,
           "days per model week; a whole number > 0 (an integral float such as 7.0 is\n"
           "        accepted and stored as the int 7)", true},
          {"rate_basis", Rule::Choice, 0, "cohort",
           "'cohort' selects the cohort-profile rate basis, 'direct' the direct-rate\n"
           "        basis; no other text is accepted", false, {"cohort", "direct"}},
          {"max_age_weeks_vegetative", Rule::NonNegative, 60, nullptr,
           "weeks; cohorts of the pre-flowering chain older than this are pruned", true},
          {"max_age_weeks_reproductive", Rule::NonNegative, 26, nullptr,
           "weeks; age limit of the post-flowering chain", true},
          {"population_epsilon", Rule::NonNegative, 1e-6, nullptr,
           "plants; a cohort whose population falls below this is dropped"}}},
        {"flowering",
         {{"threshold_dd", Rule::NonNegative, 2000.0, nullptr,
           "degree-days of thermal age at which the flowering counter starts"},
          {"amplitude", Rule::NonNegative, 1.0, nullptr,
           "eventual fraction of a cohort that flowers (capped at 1; under the direct\n        basis the weekly hazard's scale, at most 1)"},
          {"peak_weeks", Rule::Real, 4.0, nullptr,
           "weeks after the threshold at which flowering peaks"},
          {"spread", Rule::NonNegative, 2.0, nullptr,
           "weeks; standard deviation of flowering around the peak"}}},
        {"sucker_selection",
         {{"threshold_dd", Rule::NonNegative, 900.0, nullptr,
           "degree-days of thermal age at which the sucker counter starts"},
          {"amplitude", Rule::NonNegative, 1.0, nullptr,
           "suckers a plant emits over the cohort's life"},
          {"peak_weeks", Rule::Real, 10.0, nullptr,
           "weeks after the threshold at which sucker emergence peaks"},
          {"spread", Rule::NonNegative, 4.0, nullptr,
           "weeks; standard deviation of sucker emergence around the peak"}}},
        {"harvest",
         {{"threshold_dd", Rule::NonNegative, 900.0, nullptr,
           "degree-days after flowering at which the harvest counter starts"},
          {"hazard_weeks", Rule::Positive, 6, nullptr,
           "weeks after the harvest threshold by which a cohort is harvested", true}}},
        {"mortality_replacement",
         {{"death_rate_vegetative", Rule::Rate, 0.002, nullptr,
           "fraction of the pre-flowering plants dying per week"},
          {"death_rate_reproductive", Rule::Rate, 0.003, nullptr,
           "fraction of the post-flowering plants dying per week"}}},
    }};
    return groups;
}

nb::object default_value(const KeyRule& key_rule) {
    if (key_rule.rule == Rule::Text || key_rule.rule == Rule::Choice) return nb::str(key_rule.text);
    if (key_rule.whole) return nb::int_(static_cast<long long>(key_rule.number));
    return nb::float_(key_rule.number);
}

nb::str group_names_repr() {
    nb::list names;
    for (const GroupRule& g : schema()) names.append(nb::str(g.name));
    return nb::repr(names);
}

nb::str key_names_repr(const GroupRule& group) {
    nb::list names;
    for (const KeyRule& k : group.keys) names.append(nb::str(k.key));
    return nb::repr(names);
}

nb::str choices_repr(const KeyRule& key_rule) {
    nb::list names;
    for (const char* choice : key_rule.choices) names.append(nb::str(choice));
    return nb::repr(names);
}

std::string class_doc() {
    std::string doc =
        "The model's parameters: five read-only groups, each a mapping of key to value\n"
        "read by subscript (params.general['week_length_days']).\n\n"
        "Build one with ParameterSet.default(), ParameterSet.from_dict(d) (d maps each\n"
        "group name to a mapping of key to value), ParameterSet.from_yaml(path) (a UTF-8\n"
        "YAML file of the same layout) or ParameterSet(general=..., flowering=..., ...).\n"
        "Every key below is required and checked when the set is built; values are kept\n"
        "as given (the week length as an int). A missing or unknown group or key (a\n"
        "misspelt key would otherwise be silently ignored), a value of the wrong kind\n"
        "(bool is not a number; YAML reads 1e-6 as text, write 1.0e-6) or a value out of\n"
        "range raises ParameterError naming the group and key. The groups are copied on\n"
        "construction, so changing the mappings passed in does not change the set. Sets\n"
        "compare by value and pickle; they are not hashable.\n\n"
        "Keys, with their defaults:\n";
    for (const GroupRule& g : schema()) {
        doc += "\n";
        doc += g.name;
        doc += "\n";
        for (const KeyRule& k : g.keys) {
            doc += "    ";
            doc += k.key;
            doc += " = ";
            doc += narvo::bind::py_repr(default_value(k));
            doc += "\n        ";
            doc += k.doc;
            doc += "\n";
        }
    }
    return doc;
}

// ------------------------------------------------------------ validation ---

nb::handle g_parameter_error;

// Imported on first use, without a C++ guard (an import may release the GIL).
narvo::bind::LazyAttr g_mapping{"collections.abc", "Mapping"};
narvo::bind::LazyAttr g_real{"numbers", "Real"};
narvo::bind::LazyAttr g_dict{"builtins", "dict"};
narvo::bind::LazyAttr g_path{"pathlib", "Path"};
narvo::bind::LazyAttr g_safe_load{"yaml", "safe_load"};

struct GroupTag;
using GroupView = narvo::bind::DictView<GroupTag>;

[[noreturn]] void fail(nb::handle prefix, nb::handle message) {
    narvo::bind::raise_instance_of(g_parameter_error, concat({prefix, message}));
}

nb::str kind_name(nb::handle value) {
    return nb::borrow<nb::str>(nb::getattr(value.type(), "__name__"));
}

bool is_mapping(nb::handle value) { return nb::isinstance(value, g_mapping.get()); }

bool is_number(nb::handle value) {
    return !PyBool_Check(value.ptr()) && nb::isinstance(value, g_real.get());
}

// The checked value of one key: the value itself, or for the week length the
// whole number as an int. Raises ParameterError when the value breaks the rule.
nb::object checked_value(const GroupRule& group, const KeyRule& key_rule, nb::handle value,
                         nb::handle prefix) {
    bool ok = false;
    nb::object result = nb::borrow(value);
    if (key_rule.rule == Rule::Text) {
        ok = PyUnicode_Check(value.ptr());
    } else if (key_rule.rule == Rule::Choice) {
        if (PyUnicode_Check(value.ptr())) {
            for (const char* choice : key_rule.choices)
                ok = ok || nb::str(choice).equal(value);
            if (!ok)
                fail(prefix, concat({nb::str("parameter "), nb::str(group.name), nb::str("."),
                                     nb::str(key_rule.key), nb::str(" must be one of "),
                                     choices_repr(key_rule), nb::str(", got "), nb::repr(value)}));
        }
    } else if (is_number(value)) {
        double x = nb::cast<double>(nb::float_(value));
        if (std::isfinite(x)) {
            switch (key_rule.rule) {
                case Rule::Real: ok = true; break;
                case Rule::NonNegative: ok = x >= 0.0; break;
                case Rule::Positive: ok = x > 0.0; break;
                case Rule::Rate: ok = x >= 0.0 && x <= 1.0; break;
                case Rule::WholeDays:
                    ok = x > 0.0 && x == std::floor(x);
                    if (ok) result = nb::int_(value);
                    break;
                default: break;
            }
        }
    }
    if (!ok) {
        // A number in quotes, or one YAML reads as text (1e-6 without a dot).
        nb::str hint("");
        if (PyUnicode_Check(value.ptr())) {
            bool finite = false;
            if (PyObject* number = PyFloat_FromString(value.ptr())) {
                finite = std::isfinite(PyFloat_AS_DOUBLE(number));
                Py_DECREF(number);
            } else {
                PyErr_Clear();
            }
            if (finite) {
                hint = nb::str(" (a text, not a number: write numbers without quotes, and 1e-6 as 1.0e-6, "
                               "which YAML reads as a number)");
            }
        }
        fail(prefix, concat({nb::str("parameter "), nb::str(group.name), nb::str("."),
                             nb::str(key_rule.key), nb::str(" must be "), nb::str(rule_text(key_rule.rule)),
                             nb::str(", got "), nb::repr(value), hint}));
    }
    return result;
}

// A private copy of one group, checked key by key in the documented order.
nb::dict checked_group(const GroupRule& group, nb::handle mapping, nb::handle prefix) {
    if (!is_mapping(mapping))
        fail(prefix, concat({nb::str("parameter group "), nb::repr(nb::str(group.name)),
                             nb::str(" must be a mapping of key to value, got "),
                             kind_name(mapping)}));
    nb::dict copy = nb::borrow<nb::dict>(g_dict.get()(mapping));
    for (auto [key, value] : copy) {
        (void)value;
        if (!PyUnicode_Check(key.ptr()))
            fail(prefix, concat({nb::str("parameter group "), nb::repr(nb::str(group.name)),
                                 nb::str(" has a key that is not a text: "), nb::repr(key)}));
    }
    // A key the model does not read is most likely a misspelt one whose
    // intended value would otherwise be replaced by nothing at all.
    for (auto [key, value] : copy) {
        (void)value;
        bool known = false;
        for (const KeyRule& k : group.keys) known = known || nb::str(k.key).equal(key);
        if (!known)
            fail(prefix, concat({nb::str("unknown parameter key "), nb::repr(key),
                                 nb::str(" in group "), nb::repr(nb::str(group.name)),
                                 nb::str("; expected one of "), key_names_repr(group)}));
    }
    for (const KeyRule& key_rule : group.keys) {
        nb::str key(key_rule.key);
        if (!copy.contains(key))
            fail(prefix, concat({nb::str("parameter "), nb::str(group.name), nb::str("."), key,
                                 nb::str(" is missing")}));
        nb::object given = copy[key];
        copy[key] = checked_value(group, key_rule, given, prefix);
    }
    return copy;
}

// The five checked groups of a mapping of group name -> mapping.
std::array<nb::dict, kGroups> checked_groups(nb::handle groups, nb::handle prefix) {
    if (!is_mapping(groups))
        fail(prefix, concat({nb::str("parameter set must be a mapping of group name to mapping, got "),
                             kind_name(groups)}));
    nb::dict given = nb::borrow<nb::dict>(g_dict.get()(groups));
    for (auto [name, value] : given) {
        (void)value;
        bool known = false;
        for (const GroupRule& g : schema())
            known = known || (PyUnicode_Check(name.ptr()) && nb::str(g.name).equal(name));
        if (!known)
            fail(prefix, concat({nb::str("unknown parameter group "), nb::repr(name),
                                 nb::str("; expected one of "), group_names_repr()}));
    }
    std::array<nb::dict, kGroups> out;
    for (size_t i = 0; i < kGroups; ++i) {
        nb::str name(schema()[i].name);
        if (!given.contains(name))
            fail(prefix, concat({nb::str("parameter group "), nb::repr(name), nb::str(" is missing")}));
        out[i] = checked_group(schema()[i], given[name], prefix);
    }
    // Under the direct basis the flowering amplitude scales each week's
    // hazard on the plants present, uncapped: above 1, a week could take more
    // plants into flowering than the cohort holds.
    nb::handle amplitude = out[1]["amplitude"];
    if (nb::str("direct").equal(out[0]["rate_basis"]) && nb::cast<double>(nb::float_(amplitude)) > 1.0)
        fail(prefix, concat({nb::str("parameter flowering.amplitude must be at most 1 under the 'direct' "
                                     "rate basis (there it scales the weekly flowering hazard of the plants "
                                     "present), got "),
                             nb::repr(amplitude)}));
    return out;
}

// ---------------------------------------------------------- ParameterSet ---

nb::dict dict_copy(const nb::dict& d) {
    PyObject* copy = PyDict_Copy(d.ptr());
    if (!copy) throw nb::python_error();
    return nb::steal<nb::dict>(copy);
}

struct ParameterSet {
    std::array<nb::dict, kGroups> groups;   // private copies
    std::array<nb::object, kGroups> views;  // read-only views over them

    void set(std::array<nb::dict, kGroups> checked) {
        groups = std::move(checked);
        for (size_t i = 0; i < kGroups; ++i) {
            views[i] = nb::cast(GroupView{groups[i]});
        }
    }

    // {group: fresh dict copy}, in group order.
    nb::dict to_dict() const {
        nb::dict out;
        for (size_t i = 0; i < kGroups; ++i) out[schema()[i].name] = dict_copy(groups[i]);
        return out;
    }
};

nb::dict groups_by_name(nb::handle general, nb::handle flowering, nb::handle sucker_selection,
                        nb::handle harvest, nb::handle mortality_replacement) {
    nb::dict d;
    std::array<nb::handle, kGroups> given = {general, flowering, sucker_selection, harvest,
                                             mortality_replacement};
    for (size_t i = 0; i < kGroups; ++i) d[schema()[i].name] = given[i];
    return d;
}

// An instance made by ParameterSet.__new__ alone holds no groups: refused
// with a TypeError by every method that reads it.
const ParameterSet& native(nb::handle self) { return narvo::bind::record_of<ParameterSet>(self); }

nb::object build(nb::handle cls, nb::handle groups, nb::handle prefix) {
    std::array<nb::dict, kGroups> checked = checked_groups(groups, prefix);
    nb::dict kwargs;
    for (size_t i = 0; i < kGroups; ++i) kwargs[schema()[i].name] = checked[i];
    return cls(**kwargs);
}

const char* kMappingSig = "collections.abc.Mapping[str, typing.Any]";

}  // namespace

NB_MODULE(parameters, m) {
    m.doc() = "The model's parameter set: five read-only groups of named values.";

    nb::object base = narvo::bind::import_attr("py_narvo_pop.exceptions", "NarvoPopError");
    std::string qualified =
        std::string(nb::borrow<nb::str>(m.attr("__name__")).c_str()) + ".ParameterError";
    PyObject* error = PyErr_NewExceptionWithDoc(
        qualified.c_str(),
        "A parameter set that cannot be built: a missing group or key, or a value of the\n"
        "wrong kind or out of range. Both a NarvoPopError and a ValueError.",
        nb::make_tuple(base, nb::handle(PyExc_ValueError)).ptr(), nullptr);
    if (!error) throw nb::python_error();
    g_parameter_error = narvo::bind::keep(nb::steal(error));
    m.attr("ParameterError") = g_parameter_error;

    narvo::bind::bind_dict_view<GroupTag>(m, "_GroupView", "str", "typing.Any");

    auto cls = nb::class_<ParameterSet>(m, "ParameterSet", narvo::bind::stable_cstr(class_doc()));

    std::string init_sig = "def __init__(self";
    for (const GroupRule& g : schema()) init_sig += std::string(", ") + g.name + ": " + kMappingSig;
    init_sig += ") -> None";
    cls.def(
        "__init__",
        [](ParameterSet* self, nb::handle general, nb::handle flowering,
           nb::handle sucker_selection, nb::handle harvest, nb::handle mortality_replacement) {
            std::array<nb::dict, kGroups> checked = checked_groups(
                groups_by_name(general, flowering, sucker_selection, harvest, mortality_replacement),
                nb::str(""));
            new (self) ParameterSet();
            self->set(std::move(checked));
        },
        "general"_a.none(), "flowering"_a.none(), "sucker_selection"_a.none(), "harvest"_a.none(),
        "mortality_replacement"_a.none(), nb::sig(narvo::bind::stable_cstr(init_sig)),
        "Check and copy the five groups.");

    for (size_t i = 0; i < kGroups; ++i) {
        std::string sig = std::string("def ") + schema()[i].name +
                          "(self, /) -> collections.abc.Mapping[str, typing.Any]";
        cls.def_prop_ro(
            schema()[i].name, [i](nb::handle self) { return native(self).views[i]; },
            nb::sig(narvo::bind::stable_cstr(sig)));
    }

    narvo::bind::add_classmethod(
        cls, "default",
        nb::cpp_function(
            [](nb::handle cls) {
                nb::dict groups;
                for (const GroupRule& g : schema()) {
                    nb::dict values;
                    for (const KeyRule& k : g.keys) values[k.key] = default_value(k);
                    groups[g.name] = values;
                }
                return cls(**groups);
            },
            nb::name("default"), nb::scope(cls), "cls"_a,
            nb::sig("def default(cls) -> typing.Self"),
            "The documented default parameters (see the class docstring)."));

    narvo::bind::add_classmethod(
        cls, "from_dict",
        nb::cpp_function([](nb::handle cls, nb::handle d) { return build(cls, d, nb::str("")); },
                         nb::name("from_dict"), nb::scope(cls), "cls"_a, "d"_a.none(),
                         nb::sig("def from_dict(cls, d: collections.abc.Mapping[str, "
                                 "collections.abc.Mapping[str, typing.Any]]) -> typing.Self"),
                         "Build from a mapping of group name to a mapping of key to value.\n\n"
                         "Every group is required; an unknown group is a ParameterError."));

    narvo::bind::add_classmethod(
        cls, "from_yaml",
        nb::cpp_function(
            [](nb::handle cls, nb::handle path) {
                nb::object file = g_path.get()(path);
                nb::object text = file.attr("read_text")("encoding"_a = "utf-8");
                nb::object document = g_safe_load.get()(text);
                nb::str prefix = concat({nb::str("parameter file "), nb::repr(path), nb::str(": ")});
                return build(cls, document, prefix);
            },
            nb::name("from_yaml"), nb::scope(cls), "cls"_a, "path"_a.none(),
            nb::sig("def from_yaml(cls, path: str | os.PathLike[str]) -> typing.Self"),
            "Read a UTF-8 YAML file laid out as for from_dict (one top-level key per group).\n\n"
            "File, decoding and YAML errors pass through; a fault in the parameters raises\n"
            "ParameterError, its message starting with \"parameter file '<path>': \"."));

    cls.def("to_dict", [](nb::handle self) { return native(self).to_dict(); },
            nb::sig("def to_dict(self) -> dict[str, dict[str, typing.Any]]"),
            "A fresh dict of fresh dicts, one per group: change it freely and pass it to\n"
            "from_dict to build a variant.");

    cls.def(
        "__eq__",
        [](nb::handle self, nb::handle other) -> nb::object {
            if (!other.type().is(self.type())) return nb::borrow(Py_NotImplemented);
            for (size_t i = 0; i < kGroups; ++i)
                if (!native(self).groups[i].equal(native(other).groups[i])) return nb::bool_(false);
            return nb::bool_(true);
        },
        nb::arg().none(), nb::sig("def __eq__(self, other: object, /) -> bool"));
    nb::setattr(cls, "__hash__", nb::none());

    cls.def("__repr__", [](nb::handle self) {
        nb::list parts;
        for (size_t i = 0; i < kGroups; ++i)
            parts.append(concat({nb::str(schema()[i].name), nb::str("="),
                                 nb::repr(native(self).groups[i])}));
        nb::str joined = nb::steal<nb::str>(PyUnicode_Join(nb::str(", ").ptr(), parts.ptr()));
        if (!joined.is_valid()) throw nb::python_error();
        return concat({nb::getattr(self.type(), "__qualname__"), nb::str("("), joined, nb::str(")")});
    });

    cls.def(
        "__reduce__",
        [](nb::handle self) {
            const ParameterSet& p = native(self);
            nb::list args;
            for (size_t i = 0; i < kGroups; ++i) args.append(dict_copy(p.groups[i]));
            return nb::make_tuple(self.type(), nb::tuple(args));
        },
        nb::sig("def __reduce__(self) -> tuple[typing.Any, ...]"));

    cls.def(
        "__replace__",
        [](nb::handle self, nb::kwargs changes) {
            nb::dict kwargs;
            for (size_t i = 0; i < kGroups; ++i) kwargs[schema()[i].name] = native(self).groups[i];
            for (auto [k, v] : changes) kwargs[k] = v;
            return self.type()(**kwargs);
        },
        nb::sig("def __replace__(self, /, **changes: collections.abc.Mapping[str, typing.Any]) "
                "-> typing.Self"),
        "copy.replace(params, harvest={...}): a new set with whole groups replaced.");

    narvo::bind::refuse_assignment(cls);
    // Immutable: a copy may be the set itself.
    cls.def("__copy__", [](nb::handle self) { return nb::borrow(self); }, narvo::bind::kCopySig);

    std::vector<narvo::bind::FieldDecl> decls;
    for (const GroupRule& g : schema()) decls.push_back({g.name, kMappingSig});
    narvo::bind::add_dataclass_fields(cls, decls.data(), decls.size(), /*frozen=*/true);
}
