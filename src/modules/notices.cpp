// py_narvo_pop.notices: what readers report about their input without
// failing. A reader fills a NoticeLog with Notice records and returns it inside
// a ReadResult; the caller decides whether to issue the notices as warnings.
#include "bind/enums.hpp"
#include "bind/py.hpp"
#include "bind/record.hpp"

#include <nanobind/typing.h>

#include <array>
#include <string>

namespace nb = nanobind;
using namespace nb::literals;
using narvo::bind::concat;

namespace {

struct Notice : narvo::bind::ObjectFields<6> {
    static constexpr std::array<const char*, 6> fields = {"kind",   "subject",    "message",
                                                          "source", "week_index", "tag"};
};

struct ReadResult : narvo::bind::ObjectFields<2> {
    static constexpr std::array<const char*, 2> fields = {"data", "notices"};
};

nb::handle g_notice_log;     // the NoticeLog type
nb::handle g_data_notice;    // the NarvoPopDataNotice warning category

// "[source] subject: week_index=3 tag='R7' message"; the week and tag parts
// are left out only when the value is None (week 0 and an empty tag print).
nb::str warning_text(nb::handle notice) {
    nb::object week = notice.attr("week_index");
    nb::object tag = notice.attr("tag");
    nb::str week_part = week.is_none() ? nb::str("") : concat({nb::str(" week_index="), nb::str(week)});
    nb::str tag_part = tag.is_none() ? nb::str("") : concat({nb::str(" tag="), nb::repr(tag)});
    return concat({nb::str("["), nb::str(notice.attr("source")), nb::str("] "),
                   nb::str(notice.attr("subject")), nb::str(":"), week_part, tag_part,
                   nb::str(" "), nb::str(notice.attr("message"))});
}

// NoticeLog.emit_warnings(self): one warning per notice, in log order.
//
// Bound as a method taking any arguments so that surplus ones are refused with
// the interpreter's own wording for a method declared `def emit_warnings(self)`.
void emit_warnings(nb::handle self, nb::args args, nb::kwargs kwargs) {
    if (!PyObject_TypeCheck(self.ptr(), reinterpret_cast<PyTypeObject*>(g_notice_log.ptr())))
        narvo::bind::raise_type_error(
            "descriptor 'emit_warnings' for 'NoticeLog' objects doesn't apply to a '" +
            std::string(Py_TYPE(self.ptr())->tp_name) + "' object");
    if (args.size() > 0)
        narvo::bind::raise_type_error("NoticeLog.emit_warnings() takes 1 positional argument but " +
                                      std::to_string(args.size() + 1) + " were given");
    for (auto [key, value] : kwargs)
        narvo::bind::raise_instance_of(
            PyExc_TypeError,
            concat({nb::str("NoticeLog.emit_warnings() got an unexpected keyword argument "),
                    nb::repr(key)}));

    // Walk a snapshot: a warning handler that appends to the log must not
    // change which notices this call issues, nor leave us reading freed items.
    nb::list snapshot = nb::steal<nb::list>(PyList_GetSlice(self.ptr(), 0, PY_SSIZE_T_MAX));
    if (!snapshot.is_valid()) throw nb::python_error();
    nb::object warn = narvo::bind::import_attr("warnings", "warn");
    for (nb::handle notice : snapshot) {
        nb::str text = warning_text(notice);
        // Called from native code there is no frame of our own on the stack:
        // stack level 1 is the Python code that called emit_warnings.
        warn(text, g_data_notice, "stacklevel"_a = 1);
    }
}

// class NoticeLog(list): created through type() so that it is a genuine list
// subclass; no instance dictionary, so it carries nothing but its items.
nb::object make_notice_log(nb::module_& m, nb::handle notice_type) {
    nb::dict ns;
    ns["__module__"] = m.attr("__name__");
    ns["__qualname__"] = "NoticeLog";
    ns["__slots__"] = nb::tuple();
    ns["__doc__"] =
        "An ordered, growable list of Notice records.\n\n"
        "A real list: every list operation applies. The one addition is emit_warnings().";
    // How the stubs spell the base: a list of notices.
    nb::object generic_alias = narvo::bind::import_attr("types", "GenericAlias");
    ns["__orig_bases__"] = nb::make_tuple(generic_alias(nb::handle(reinterpret_cast<PyObject*>(&PyList_Type)), notice_type));
    nb::object type_fn = nb::borrow(reinterpret_cast<PyObject*>(&PyType_Type));
    nb::object cls = type_fn("NoticeLog", nb::make_tuple(nb::handle(reinterpret_cast<PyObject*>(&PyList_Type))), ns);
    nb::delattr(cls, "__slots__");  // the layout is fixed; the attribute would only clutter the stubs
    g_notice_log = narvo::bind::keep(cls);

    nb::object method = nb::cpp_function(
        &emit_warnings, nb::is_method(), nb::name("emit_warnings"), nb::scope(cls),
        nb::sig("def emit_warnings(self) -> None"),
        "Issue every notice, in log order, as a NarvoPopDataNotice warning.\n\n"
        "Each text reads \"[source] subject: week_index=W tag='T' message\", the week and\n"
        "tag parts only when set. The warnings are attributed to the caller's line. If a\n"
        "warning filter raises, the error propagates and later notices are not issued;\n"
        "the log itself is never changed.");
    nb::setattr(cls, "emit_warnings", method);
    // Pickle as NoticeLog(list(self)); the default protocol would also work but
    // caches slot names on the class as a side effect.
    nb::object reduce = nb::cpp_function(
        [](nb::handle self) {
            return nb::make_tuple(self.type(), nb::make_tuple(nb::list(self)));
        },
        nb::is_method(), nb::name("__reduce__"), nb::scope(cls),
        nb::sig("def __reduce__(self) -> tuple[type[NoticeLog], tuple[list[Notice]]]"));
    nb::setattr(cls, "__reduce__", reduce);
    m.attr("NoticeLog") = cls;
    return cls;
}

}  // namespace

NB_MODULE(notices, m) {
    m.doc() =
        "Notices and read results: what the readers report about their input without\n"
        "failing, and the warning category under which a caller may issue them.";

    m.attr("T") = nb::type_var("T");

    narvo::bind::make_str_enum(
        m, "NoticeKind",
        {{"FALLBACK_ESTIMATE", "fallback_estimate"}, {"FEATURE_DISABLED", "feature_disabled"}},
        "What sort of notice a reader raised: a value replaced by an estimate, or a model\n"
        "feature switched off because the input it needs is absent.");

    auto notice = nb::class_<Notice>(
        m, "Notice",
        "One recoverable oddity found in the input: immutable, compared and hashed by\n"
        "value over (kind, subject, message, source, week_index, tag).");
    notice.def(
        "__init__",
        [](Notice* self, nb::object kind, nb::object subject, nb::object message, nb::object source,
           nb::object week_index, nb::object tag) {
            new (self) Notice();
            self->values = {std::move(kind),   std::move(subject),    std::move(message),
                            std::move(source), std::move(week_index), std::move(tag)};
        },
        "kind"_a.none(), "subject"_a.none(), "message"_a.none(), "source"_a.none(),
        "week_index"_a.none() = nb::none(), "tag"_a.none() = nb::none(),
        nb::sig("def __init__(self, kind: NoticeKind, subject: str, message: str, source: str, "
                "week_index: int | None = None, tag: str | None = None) -> None"));
    narvo::bind::add_record_protocol(notice, {{{"kind", "NoticeKind"},
                                               {"subject", "str"},
                                               {"message", "str"},
                                               {"source", "str"},
                                               {"week_index", "int | None", nb::none()},
                                               {"tag", "str | None", nb::none()}}});

    make_notice_log(m, notice);

    auto result = nb::class_<ReadResult>(
        m, "ReadResult", nb::is_generic(), nb::sig("class ReadResult(typing.Generic[T])"),
        "What a reader produced (data) together with the notices raised while producing it.\n\n"
        "The record is immutable; the NoticeLog inside it is an ordinary list and may still\n"
        "be appended to. ReadResult[X] names a result whose data are of type X.");
    result.def(
        "__init__",
        [](ReadResult* self, nb::object data, nb::object notices) {
            new (self) ReadResult();
            self->values = {std::move(data), std::move(notices)};
        },
        "data"_a.none(), "notices"_a.none(),
        nb::sig("def __init__(self, data: T, notices: NoticeLog) -> None"));
    narvo::bind::add_record_protocol(result, {{{"data", "T"}, {"notices", "NoticeLog"}}});

    std::string qualified = std::string(nb::borrow<nb::str>(m.attr("__name__")).c_str()) +
                            ".NarvoPopDataNotice";
    PyObject* category = PyErr_NewExceptionWithDoc(
        qualified.c_str(),
        "Warning category of every notice issued by NoticeLog.emit_warnings(), so that\n"
        "data notices can be filtered, silenced or escalated as one group.",
        PyExc_UserWarning, nullptr);
    if (!category) throw nb::python_error();
    g_data_notice = narvo::bind::keep(nb::steal(category));
    m.attr("NarvoPopDataNotice") = g_data_notice;
}
