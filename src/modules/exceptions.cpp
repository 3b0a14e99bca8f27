// The package's exception types. Each is built from one message text and can
// be raised with a cause; all share the base NarvoPopError so that callers can
// catch every data fault of the package at once.
#include <nanobind/nanobind.h>

namespace nb = nanobind;

namespace {

nb::object new_exception(nb::module_& m, const char* name, nb::handle base, const char* doc) {
    std::string qualified = std::string(nb::borrow<nb::str>(m.attr("__name__")).c_str()) + "." + name;
    PyObject* type = PyErr_NewExceptionWithDoc(qualified.c_str(), doc, base.ptr(), nullptr);
    if (!type) throw nb::python_error();
    nb::object cls = nb::steal(type);
    m.attr(name) = cls;
    return cls;
}

}  // namespace

NB_MODULE(exceptions, m) {
    m.doc() = "Exception types raised by py_narvo_pop for faults in input data and requests.";
    nb::object base = new_exception(
        m, "NarvoPopError", PyExc_Exception,
        "Base class of every data or request fault that py_narvo_pop reports.");
    new_exception(m, "CohortChainError", base,
                  "A bad seed table or population inventory file.");
    new_exception(m, "WeatherError", base,
                  "A missing weather column, a week outside the weather data, or a bad weather file.");
    new_exception(m, "RibbonDataError", base, "A bad ribbon production file.");
    new_exception(m, "SuckerSelectionError", base, "A bad sucker selection file.");
}
