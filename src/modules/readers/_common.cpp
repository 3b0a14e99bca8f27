// py_narvo_pop.readers._common: what every file reader shares. Loading a table
// file by its extension, cleaning one text cell, and checking that a table has
// the columns a reader needs.
#include "bind/py.hpp"

#include <cmath>

namespace nb = nanobind;
using namespace nb::literals;
using narvo::bind::concat;

namespace {

nb::handle builtin(const char* name) {
    return PyDict_GetItemString(PyEval_GetBuiltins(), name);  // borrowed, lives with the interpreter
}

// A single text where a sequence of names is wanted would be taken apart into
// its letters and silently match no column; refuse it instead.
void refuse_single_text(nb::handle names, const char* what) {
    if (PyUnicode_Check(names.ptr()))
        narvo::bind::raise_instance_of(
            PyExc_TypeError,
            concat({nb::str(what), nb::str(" must be a sequence of column names, not a single text: "),
                    nb::repr(names)}));
}

// Workbooks (.xlsx) are zip files of XML parts, and XML may declare entities
// that expand a few bytes into gigabytes, or reach out to other files.
// openpyxl parses through defusedxml, which refuses both, unless the
// environment (OPENPYXL_DEFUSEDXML) turns that off. Then every part is first
// run through a defused parser here, and pandas reads the very bytes that
// were checked. Nothing outside the read changes: the standard XML parsers
// stay as the rest of the process knows them, and threads do not meet.
narvo::bind::LazyAttr g_bytes_io{"io", "BytesIO"};
narvo::bind::LazyAttr g_zip_file{"zipfile", "ZipFile"};
narvo::bind::LazyAttr g_bad_zip_file{"zipfile", "BadZipFile"};
narvo::bind::LazyAttr g_parse_error{"xml.etree.ElementTree", "ParseError"};
narvo::bind::LazyAttr g_empty_target{"types", "SimpleNamespace"};  // no callbacks: keeps nothing
narvo::bind::LazyAttr g_defused_parser{"defusedxml.ElementTree", "DefusedXMLParser"};

bool openpyxl_defuses_xml() {
    PyObject* openpyxl = PyImport_ImportModule("openpyxl");
    if (!openpyxl) {
        if (!PyErr_ExceptionMatches(PyExc_ImportError)) throw nb::python_error();
        PyErr_Clear();  // pandas reports the missing engine itself
        return true;
    }
    nb::object flag = nb::getattr(nb::steal(openpyxl), "DEFUSEDXML", nb::bool_(false));
    int truth = PyObject_IsTrue(flag.ptr());
    if (truth < 0) throw nb::python_error();
    return truth == 1;
}

// Parse one zip member with a defused parser that builds nothing. A member
// that is not XML at all is openpyxl's to judge; a forbidden declaration
// raises defusedxml's error.
void check_member(nb::handle zip, nb::handle info) {
    nb::object parser = g_defused_parser.get()("target"_a = g_empty_target.get()());
    nb::object stream = zip.attr("open")(info);
    try {
        for (;;) {
            nb::object chunk = stream.attr("read")(1 << 20);
            if (nb::len(chunk) == 0) break;
            parser.attr("feed")(chunk);
        }
        parser.attr("close")();
    } catch (nb::python_error& e) {
        stream.attr("close")();
        if (e.matches(g_parse_error.get())) return;
        throw;
    }
    stream.attr("close")();
}

void refuse_unsafe_workbook_xml(nb::handle data) {
    nb::object zip;
    try {
        zip = g_zip_file.get()(g_bytes_io.get()(data));
    } catch (nb::python_error& e) {
        if (e.matches(g_bad_zip_file.get())) return;  // not a zip: a binary .xls, or no workbook
        throw;
    }
    for (nb::handle info : zip.attr("infolist")()) {
        if (nb::cast<bool>(info.attr("is_dir")())) continue;
        check_member(zip, info);
    }
}

// The workbook as pandas should read it: the path itself, or its bytes once
// checked when openpyxl would not refuse dangerous XML by itself.
nb::object workbook_source(nb::handle path) {
    if (openpyxl_defuses_xml()) return nb::borrow(path);
    nb::object data = path.attr("read_bytes")();
    refuse_unsafe_workbook_xml(data);
    return g_bytes_io.get()(data);
}

// Some pandas versions turn every whole-valued number of a workbook into an
// int, and fail with OverflowError on a cell holding an infinite number.
// That is a cell no table can be read from: a ValueError naming the file.
nb::object read_workbook(nb::handle pandas, nb::handle path, nb::handle dtype) {
    try {
        return pandas.attr("read_excel")(workbook_source(path), "dtype"_a = dtype);
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_OverflowError)) throw;
        nb::object cause = nb::borrow(e.value());
        narvo::bind::raise_instance_from(
            PyExc_ValueError,
            concat({nb::str("could not read "), nb::str(path),
                    nb::str(": a number in the workbook is out of range ("), nb::str(cause),
                    nb::str(")")}),
            cause);
    }
}

nb::object read_table(nb::handle path_arg, nb::handle text_columns) {
    nb::object path = narvo::bind::import_attr("pathlib", "Path")(path_arg);
    if (!nb::cast<bool>(path.attr("exists")()))
        narvo::bind::raise_instance_of(PyExc_FileNotFoundError,
                                       concat({nb::str("file not found: "), nb::str(path)}));

    refuse_single_text(text_columns, "text_columns");
    nb::dict dtype;
    for (nb::handle name : nb::iter(text_columns)) dtype[name] = builtin("str");

    nb::object suffix = path.attr("suffix").attr("lower")();
    nb::module_ pandas = nb::module_::import_("pandas");
    if (suffix.equal(nb::str(".csv"))) return pandas.attr("read_csv")(path, "dtype"_a = dtype);
    if (suffix.equal(nb::str(".xlsx")) || suffix.equal(nb::str(".xls"))) {
        return read_workbook(pandas, path, dtype);
    }
    narvo::bind::raise_instance_of(
        PyExc_ValueError,
        concat({nb::str("unsupported file extension "), nb::repr(suffix), nb::str(" for "),
                nb::str(path), nb::str(" -- expected .csv or .xlsx/.xls")}));
}

nb::object missing_value() { return nb::float_(NAN); }

// True when pandas counts the cell as missing. Texts and integers never are;
// None and NaN are answered here without asking pandas.
bool is_missing(nb::handle value) {
    if (value.is_none()) return true;
    if (PyUnicode_Check(value.ptr()) || PyLong_Check(value.ptr())) return false;
    if (PyFloat_Check(value.ptr())) {
        double x = PyFloat_AS_DOUBLE(value.ptr());
        if (std::isnan(x)) return true;
        if (std::isfinite(x)) return false;
    }
    nb::object answer = narvo::bind::import_attr("pandas", "isna")(value);
    int truth = PyObject_IsTrue(answer.ptr());
    if (truth < 0) throw nb::python_error();
    return truth == 1;
}

nb::object clean_text(nb::handle value) {
    if (is_missing(value)) return missing_value();
    nb::object text = nb::str(value);
    // ASCII text is already in composed form.
    if (!PyUnicode_IS_ASCII(text.ptr()))
        text = narvo::bind::import_attr("unicodedata", "normalize")("NFC", text);
    text = text.attr("strip")();
    if (PyUnicode_GET_LENGTH(text.ptr()) == 0) return missing_value();
    return text;
}

void require_columns(nb::handle df, nb::handle required, nb::handle context,
                     nb::handle error_cls) {
    refuse_single_text(required, "required");
    nb::list found = nb::list(nb::object(df.attr("columns")));
    nb::list missing;
    for (nb::handle name : nb::iter(required)) {
        int present = PySequence_Contains(found.ptr(), name.ptr());
        if (present < 0) throw nb::python_error();
        if (!present) missing.append(name);
    }
    if (missing.size() == 0) return;
    narvo::bind::raise_instance_of(
        error_cls, concat({nb::str(context), nb::str(" missing required column(s): "),
                           nb::repr(missing), nb::str("; found columns: "), nb::repr(found)}));
}

}  // namespace

NB_MODULE(_common, m) {
    m.doc() =
        "What every file reader shares: loading a table file by its extension, cleaning\n"
        "one text cell and checking that a table has the columns a reader needs.";

    m.def("_read_table", &read_table, "path"_a.none(), nb::kw_only(),
          "text_columns"_a.none() = nb::tuple(),
          nb::sig("def _read_table(path: str | os.PathLike[str], *, "
                  "text_columns: collections.abc.Iterable[str] = ()) -> pandas.DataFrame"),
          "Load a table file (its first sheet for a workbook) as a data frame.\n\n"
          "The format follows the lower-cased extension: .csv through pandas.read_csv,\n"
          ".xlsx and .xls through pandas.read_excel. Columns named in text_columns keep\n"
          "their cells as text (codes such as 007 keep their zeros). Workbook XML is read\n"
          "with entity expansion and external references refused.\n\n"
          "Raises FileNotFoundError when nothing exists at path (checked first) and\n"
          "ValueError for any other extension; pandas errors pass through.");

    m.def("_clean_text", &clean_text, "value"_a.none(),
          nb::sig("def _clean_text(value: object) -> str | float"),
          "One cell as a non-empty, NFC-composed, trimmed text, or NaN for no value.");

    m.def("_require_columns", &require_columns, "df"_a.none(), "required"_a.none(), nb::kw_only(),
          "context"_a.none(), "error_cls"_a.none(),
          nb::sig("def _require_columns(df: pandas.DataFrame, required: collections.abc.Iterable[str], "
                  "*, context: str, error_cls: collections.abc.Callable[[str], BaseException]) "
                  "-> None"),
          "Raise error_cls(message) when columns named in required are missing from df.\n\n"
          "The message is '<context> missing required column(s): [...]; found columns:\n"
          "[...]', the missing names in the order of required, the found ones in table order.");
}
