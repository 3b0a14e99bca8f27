// py_narvo_pop.cohorts: cohorts of plants, the two chains they live in, and
// the weekly step that ages, moves and prunes them.
//
//   common    handles looked up once (names, ChainKind members, dispersion globals)
//   records   Cohort and CohortColumnMap, declared by field tables
//   rates     _ChainRates and its _RatesMap views
//   params    reading the parameter set, or resolving a ParameterSet once
//   curves    native curve tables and the Python callables replacing them
//   chain     CohortChain and its weekly step
//   seeding   from_dataframe and the replay of a cohort's thermal history
#include "modules/cohorts/chain.hpp"
#include "modules/cohorts/rates.hpp"

NB_MODULE(cohorts, m) {
    using namespace narvo::cohorts;
    m.doc() =
        "Cohorts of plants and the two chains they live in (before and after flowering),\n"
        "with the weekly step that ages cohorts, moves plants out of a chain and prunes it.\n\n"
        "The weekly step uses the module's dispersion functions (``_dispersion_profile``,\n"
        "``_dispersion_rate``, ``_harvest_hazard_cohort_basis``, ``_harvest_hazard``,\n"
        "imported from py_narvo_pop.dispersion). They are looked up at every step: a caller\n"
        "may replace them with its own, and while they are the package's own the step\n"
        "computes them natively.";
    init_state(m);
    add_chain_kind(m);
    add_cohort(m);
    nb::object default_columns = add_column_map(m);
    add_rates(m);
    add_chain(m, default_columns);
    add_seeding_functions(m);
}
