#include "modules/cohorts/records.hpp"

#include "bind/enums.hpp"

namespace narvo::cohorts {

nb::object literal_value(const char* literal) {
    return narvo::bind::import_attr("ast", "literal_eval")(nb::str(literal));
}

nb::object new_cohort(nb::handle chain, const CohortState& state) {
    nb::object obj = nb::inst_alloc(g.cohort_type);
    new (nb::inst_ptr<Cohort>(obj)) Cohort{{nb::borrow(chain), state}};
    nb::inst_mark_ready(obj);
    return obj;
}

void add_chain_kind(nb::module_& m) {
    nb::object chain_kind = narvo::bind::make_str_enum(
        m, "ChainKind",
        {{"PRE_FLOWERING", "pre_flowering"}, {"POST_FLOWERING", "post_flowering"}},
        "The two chains of the population: plants before flowering (vegetative) and\n"
        "plants after flowering awaiting harvest (reproductive).");
    g.pre = narvo::bind::keep(chain_kind.attr("PRE_FLOWERING"));
    g.post = narvo::bind::keep(chain_kind.attr("POST_FLOWERING"));
}

namespace {

// -magnitude or +magnitude as a Python int; the largest magnitudes are
// beyond a 64-bit signed integer.
nb::object signed_int(core::WeekDifference d) {
    nb::object magnitude = nb::cast(d.magnitude);
    return d.negative ? -magnitude : magnitude;
}

}  // namespace

void add_cohort(nb::module_& m) {
    m.attr("_COHORT_COLUMNS") = field_name_tuple<Cohort>();
    auto cohort = nb::class_<Cohort>(
        m, "Cohort",
        "All plants that entered a chain in the same model week.\n\n"
        "A mutable record: the chain updates these fields in place, so a caller holding\n"
        "a cohort sees every later change.");
    def_init<Cohort>(cohort);
    def_field_properties<Cohort>(cohort);
    cohort.def(
        "age_weeks",
        [](const Cohort& c, std::int64_t current_week_index) {
            return signed_int(c.s.age_weeks(current_week_index));
        },
        "current_week_index"_a, nb::sig("def age_weeks(self, current_week_index: int) -> int"),
        "Weeks from the cohort's birth week to ``current_week_index`` (negative before birth).");
    narvo::bind::add_record_protocol(
        cohort, field_decls<Cohort>(),
        {.frozen = false, .hashable = false, .field_properties = false});
    g.cohort_type = cohort;
}

nb::object add_column_map(nb::module_& m) {
    auto colmap = nb::class_<CohortColumnMap>(
        m, "CohortColumnMap", "Names of the population and age columns of a seed table.");
    def_init<CohortColumnMap>(colmap);
    narvo::bind::add_record_protocol(colmap, field_decls<CohortColumnMap>());
    nb::object defaults = nb::inst_alloc(colmap);
    new (nb::inst_ptr<CohortColumnMap>(defaults))
        CohortColumnMap{{nb::str("chain"), nb::str("population"), nb::str("age_weeks")}};
    nb::inst_mark_ready(defaults);
    return defaults;
}

}  // namespace narvo::cohorts
