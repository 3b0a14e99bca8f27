// py_narvo_pop.toverin: the management decisions the model takes as inputs
// rather than simulating them. Today that is one weekly schedule: how many
// replacement suckers the grower adds in each listed week.
#include "bind/py.hpp"
#include "bind/record.hpp"

#include <array>

namespace nb = nanobind;
using namespace nb::literals;
using narvo::bind::LazyAttr;

namespace {

// Imported on first use, without a C++ guard (an import may release the GIL).
LazyAttr g_int{"builtins", "int"};
LazyAttr g_float{"builtins", "float"};
LazyAttr g_open{"builtins", "open"};
LazyAttr g_path{"pathlib", "Path"};
LazyAttr g_safe_load{"yaml", "safe_load"};

struct ScheduleTag;
using ScheduleView = narvo::bind::DictView<ScheduleTag>;

// The record owns a private copy of the schedule it was given and hands out a
// read-only view of it, so neither the caller's dict nor the attribute can
// change a record after construction. That makes the record a true value: it
// compares and hashes by its schedule's contents.
struct Toverin {
    nb::dict schedule;
    nb::object view;  // a ScheduleView over `schedule`

    static constexpr std::array<const char*, 1> fields = {"replacement_schedule"};
    // Equality, repr, pickling and _values() see a fresh copy of the dict: it
    // round-trips through the constructor, and whoever receives it cannot
    // reach the record's own schedule (nor change its hash).
    nb::object field(size_t) const { return nb::steal(PyDict_Copy(schedule.ptr())); }
};

nb::dict copy_schedule(nb::handle replacement_schedule) {
    if (replacement_schedule.is_none()) return nb::dict();
    return nb::borrow<nb::dict>(nb::handle(reinterpret_cast<PyObject*>(&PyDict_Type))(
        replacement_schedule));
}

nb::object read_only_view(const nb::dict& d) {
    return nb::cast(ScheduleView{d});
}

// The document's entries in document order, with week keys passed through the
// interpreter's int() and amounts through float(); a later key that converts
// to the same week replaces the earlier amount. Nothing is built on failure.
nb::dict schedule_from_document(nb::handle document) {
    nb::object doc = nb::borrow(document);
    if (!nb::bool_(doc)) doc = nb::dict();
    nb::object entries = doc.attr("get")("replacement_schedule");
    if (!nb::bool_(entries)) entries = nb::dict();

    nb::handle to_int = g_int.get();
    nb::handle to_float = g_float.get();
    nb::dict schedule;
    for (nb::handle item : entries.attr("items")()) {
        nb::object week = to_int(item[0]);
        nb::object amount = to_float(item[1]);
        schedule[week] = amount;
    }
    return schedule;
}

// yaml.safe_load over the file opened as UTF-8 text; the file is closed
// whether or not parsing succeeds, and the parser's or the file's error
// propagates as raised.
nb::object load_yaml_document(nb::handle path) {
    nb::handle safe_load = g_safe_load.get();
    nb::object stream = g_open.get()(g_path.get()(path), "r", "encoding"_a = "utf-8");
    nb::object document;
    try {
        document = safe_load(stream);
    } catch (nb::python_error&) {
        // The parse error is already held by the exception object; a failure
        // to close must not replace it.
        try {
            stream.attr("close")();
        } catch (nb::python_error&) {
        }
        throw;
    }
    stream.attr("close")();
    return document;
}

}  // namespace

NB_MODULE(toverin, m) {
    m.doc() =
        "Management decisions that the model takes as inputs instead of simulating them:\n"
        "the weekly schedule of replacement suckers.";

    narvo::bind::bind_dict_view<ScheduleTag>(m, "_ScheduleView", "int", "float");

    auto cls = nb::class_<Toverin>(
        m, "Toverin",
        "The management schedule: replacement suckers to add per model week.\n\n"
        "An immutable record. ``replacement_schedule`` maps a week index to the amount of\n"
        "that week; weeks not listed get none. The record keeps its own copy of the mapping\n"
        "it is given and exposes it read-only, so records compare and hash by value.");
    cls.def(
        "__init__",
        [](Toverin* self, nb::handle replacement_schedule) {
            nb::dict schedule = copy_schedule(replacement_schedule);
            nb::object view = read_only_view(schedule);
            new (self) Toverin{std::move(schedule), std::move(view)};
        },
        "replacement_schedule"_a.none() = nb::none(),
        nb::sig("def __init__(self, replacement_schedule: "
                "collections.abc.Mapping[int, float] | None = None) -> None"),
        "Build a schedule from a mapping of week index to amount (copied); None or no\n"
        "argument gives a new empty schedule.");
    cls.def_prop_ro(
        "replacement_schedule",
        [](nb::handle self) { return narvo::bind::record_of<Toverin>(self).view; },
        nb::sig("def replacement_schedule(self, /) -> collections.abc.Mapping[int, float]"),
        "Amount of replacement suckers per week index (a read-only view).");

    narvo::bind::add_record_protocol(
        cls, {{{"replacement_schedule", "collections.abc.Mapping[int, float]", nb::none()}}},
        {.frozen = true, .hashable = false, .field_properties = false});
    // A dict is unhashable, but the record's schedule can never change, so the
    // record hashes by the set of its entries (consistent with equality).
    cls.def("__hash__", [](nb::handle self) {
        const Toverin& t = narvo::bind::record_of<Toverin>(self);
        return nb::hash(nb::frozenset(t.schedule.attr("items")()));
    }, nb::sig("def __hash__(self) -> int"));

    cls.def_static(
        "from_yaml",
        [](nb::handle type, nb::handle path) {
            nb::object document = load_yaml_document(path);
            nb::dict schedule = schedule_from_document(document);
            return type("replacement_schedule"_a = schedule);
        },
        "cls"_a, "path"_a.none(),
        nb::sig("def from_yaml(cls, path: str | os.PathLike[str]) -> typing.Self"),
        "Read the schedule from the YAML file at ``path`` (UTF-8).\n\n"
        "Only the top-level key ``replacement_schedule`` is used; an empty document or a\n"
        "missing, null or empty key gives an empty schedule. Week keys go through int(),\n"
        "amounts through float(); file, decoding, YAML and conversion errors propagate.");
    // def_static cannot take the class itself; rebind it as a classmethod.
    nb::object from_yaml = nb::getattr(cls, "from_yaml");
    nb::setattr(cls, "from_yaml",
                nb::borrow(reinterpret_cast<PyObject*>(&PyClassMethod_Type))(from_yaml));

    cls.def(
        "replacement_suckers_for_week",
        [](nb::handle self, nb::handle week_index) -> nb::object {
            const Toverin& t = narvo::bind::record_of<Toverin>(self);
            PyObject* amount = PyDict_GetItemWithError(t.schedule.ptr(), week_index.ptr());
            if (amount) return g_float.get()(nb::handle(amount));
            if (PyErr_Occurred()) throw nb::python_error();
            return nb::float_(0.0);
        },
        "week_index"_a.none(),
        nb::sig("def replacement_suckers_for_week(self, week_index: int) -> float"),
        "Replacement suckers planned for ``week_index``; 0.0 for a week not listed.");
}
