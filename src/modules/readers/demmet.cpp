// py_narvo_pop.readers.demmet: the population inventory, the table of plant
// groups by chain and age that seeds the chains at the start of a run.
//
// Every check judges a whole column through pandas' vectorised operations; no
// row is visited from here. The first failing check raises CohortChainError.
#include "bind/py.hpp"
#include "bind/reader_checks.hpp"

#include <nanobind/stl/string.h>

#include <cmath>
#include <string>

namespace nb = nanobind;
using namespace nb::literals;
using narvo::bind::import_attr;
using narvo::bind::keep;
using narvo::bind::py_repr;

namespace {

// Objects fixed when the module loads.
struct Loaded {
    nb::handle read_table, clean_text, require_columns;
    nb::handle notice_log, read_result;
    nb::handle chain_error;
    nb::handle required_columns;  // tuple
    nb::handle text_columns;      // tuple
    nb::handle valid_chains;      // list, sorted: what isin() is given
    std::string valid_chains_repr;
    nb::handle sorted;
    nb::handle int64_end;  // 2**63
};
Loaded g;

using narvo::bind::pandas_attr;

bool truthy(nb::handle obj) {
    int r = PyObject_IsTrue(obj.ptr());
    if (r < 0) throw nb::python_error();
    return r == 1;
}

// True when any element of the boolean series `mask` is set.
bool any(nb::handle mask) { return truthy(mask.attr("any")()); }

nb::object column(nb::handle df, const char* name) { return df.attr("__getitem__")(name); }

// The invalid chain values in the order the message lists them: ascending
// where the values can be ordered (texts always can); values of different
// types are grouped texts first, then by type name; missing values come last.
nb::list ordered_invalid_values(nb::handle distinct) {
    nb::object isna = pandas_attr("isna");
    nb::list present, missing;
    for (nb::handle v : distinct) {
        if (truthy(isna(v)))
            missing.append(v);
        else
            present.append(v);
    }

    nb::handle sorted = g.sorted;
    auto by_type = [](bool with_repr) {
        return nb::cpp_function([with_repr](nb::handle v) {
            nb::object type_name = nb::getattr(v.type(), "__qualname__");
            return nb::make_tuple(!PyUnicode_Check(v.ptr()), type_name,
                                  with_repr ? nb::object(nb::repr(v)) : nb::borrow(v));
        });
    };
    nb::list out;
    try {
        out = nb::borrow<nb::list>(sorted(present));
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_TypeError)) throw;
        try {
            out = nb::borrow<nb::list>(sorted(present, "key"_a = by_type(false)));
        } catch (nb::python_error& e2) {
            if (!e2.matches(PyExc_TypeError)) throw;
            out = nb::borrow<nb::list>(sorted(present, "key"_a = by_type(true)));
        }
    }
    for (nb::handle v : missing) out.append(v);
    return out;
}

void check_chain_values(nb::handle chain, const std::string& context) {
    nb::object invalid = chain.attr("__getitem__")(chain.attr("isin")(g.valid_chains).attr("__invert__")());
    if (truthy(invalid.attr("empty"))) return;
    nb::list values = ordered_invalid_values(invalid.attr("drop_duplicates")().attr("tolist")());
    narvo::bind::raise(g.chain_error, context + " has invalid chain value(s) " + py_repr(values) +
                                          "; expected exactly one of " + g.valid_chains_repr);
}

nb::object to_numeric(nb::handle series) { return narvo::bind::coerce_numeric(series); }

// Plant counts: a number, not below zero, and finite (no field holds
// infinitely many plants).
nb::object checked_population(nb::handle df, const std::string& context) {
    nb::object pop = to_numeric(column(df, "population"));
    if (any(pop.attr("isna")()) || any(pop.attr("lt")(0)) ||
        any(pop.attr("eq")(nb::float_(INFINITY))))
        narvo::bind::raise(g.chain_error,
                           context + " has a non-numeric or negative 'population' value");
    return pop.attr("astype")("float64");
}

// Ages: whole, not below zero, and small enough for a 64-bit integer (the
// cast would otherwise wrap). An infinite age is not whole: inf % 1 is NaN.
nb::object checked_age(nb::handle df, const std::string& context) {
    nb::object age = to_numeric(column(df, "age_weeks"));
    if (any(age.attr("isna")()) || any(age.attr("lt")(0)) ||
        any(age.attr("mod")(1).attr("ne")(0)) || any(age.attr("ge")(g.int64_end)))
        narvo::bind::raise(g.chain_error,
                           context + " has a non-integer or negative 'age_weeks' value");
    return age.attr("astype")("int64");
}

nb::object read_inventory(nb::handle path) {
    std::string context = "population inventory file " + py_repr(path);

    nb::object df = g.read_table(path, "text_columns"_a = g.text_columns);
    g.require_columns(df, nb::list(g.required_columns), "context"_a = context,
                      "error_cls"_a = g.chain_error);

    nb::object chain = column(df, "chain");
    check_chain_values(chain, context);
    nb::object population = checked_population(df, context);
    nb::object age_weeks = checked_age(df, context);

    nb::dict columns;
    columns["chain"] = chain;
    columns["population"] = population;
    columns["age_weeks"] = age_weeks;
    if (truthy(df.attr("columns").attr("__contains__")("tag")))
        columns["tag"] = column(df, "tag").attr("map")(g.clean_text);
    nb::object table = pandas_attr("DataFrame")(columns);
    return g.read_result(table, g.notice_log());
}

struct PopulationInventoryReader {};

}  // namespace

NB_MODULE(demmet, m) {
    m.doc() =
        "The population inventory reader: plant groups by chain and age in weeks, the\n"
        "seed table from which the chains are built at the start of a run.";

    g.read_table = keep(import_attr("py_narvo_pop.readers._common", "_read_table"));
    g.clean_text = keep(import_attr("py_narvo_pop.readers._common", "_clean_text"));
    g.require_columns = keep(import_attr("py_narvo_pop.readers._common", "_require_columns"));
    g.notice_log = keep(import_attr("py_narvo_pop.notices", "NoticeLog"));
    g.read_result = keep(import_attr("py_narvo_pop.notices", "ReadResult"));
    g.chain_error = keep(import_attr("py_narvo_pop.exceptions", "CohortChainError"));

    nb::object required = nb::make_tuple("chain", "population", "age_weeks");
    nb::object text = nb::make_tuple("tag");
    nb::list values;
    for (nb::handle member : import_attr("py_narvo_pop.cohorts", "ChainKind"))
        values.append(member.attr("value"));
    nb::object valid = nb::frozenset(values);
    nb::list valid_sorted = nb::borrow<nb::list>(import_attr("builtins", "sorted")(valid));

    g.required_columns = keep(required);
    g.text_columns = keep(text);
    g.valid_chains = keep(valid_sorted);
    g.valid_chains_repr = py_repr(valid_sorted);
    g.sorted = keep(import_attr("builtins", "sorted"));
    g.int64_end = keep(nb::int_(1).attr("__lshift__")(63));

    m.attr("_REQUIRED_COLUMNS") = required;
    m.attr("_TEXT_COLUMNS") = text;
    m.attr("_VALID_CHAINS") = valid;

    auto cls = nb::class_<PopulationInventoryReader>(
        m, "PopulationInventoryReader",
        "Reads a population inventory file (.csv, .xlsx or .xls).\n\n"
        "Required columns: chain (a ChainKind value, spelled exactly), population (a\n"
        "non-negative number) and age_weeks (a non-negative whole number); an optional tag\n"
        "column is read as text. Other columns are dropped; rows keep their file order.");
    cls.def(nb::init<>());
    narvo::bind::add_stateless_pickling(cls);
    cls.def_static(
        "read", &read_inventory, "path"_a.none(),
        nb::sig("def read(path: str | os.PathLike[str]) -> "
                "py_narvo_pop.notices.ReadResult[pandas.DataFrame]"),
        "Read and check the inventory at ``path``.\n\n"
        "Returns a ReadResult whose data has the columns chain, population (float64),\n"
        "age_weeks (int64) and, when the file has one, tag (cleaned text or NaN), and\n"
        "whose notice log is empty. A data fault raises CohortChainError naming the file;\n"
        "a missing file raises FileNotFoundError, an unknown extension ValueError.");
}
