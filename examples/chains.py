"""Build the two chains of a small farm by hand and print them."""

from typing import Any

from py_narvo_pop.cohorts import ChainKind, CohortChain


class Params:
    """Any object whose five groups are mappings serves as a parameter set."""

    general: dict[str, Any] = {"population_epsilon": 1e-6, "rate_basis": "direct"}
    flowering: dict[str, Any] = {}
    sucker_selection: dict[str, Any] = {}
    harvest: dict[str, Any] = {}
    mortality_replacement: dict[str, Any] = {}


def main() -> None:
    params = Params()
    pre = CohortChain(ChainKind.PRE_FLOWERING, params)
    post = CohortChain(ChainKind.POST_FLOWERING, params)
    for week, plants in [(-30, 420.0), (-20, 515.5), (-8, 610.0)]:
        pre.add_new_cohort(plants, week)
    post.add_new_cohort(380.0, -40)
    for chain in (pre, post):
        print(chain)
        for cohort in chain:
            print(f"  born week {cohort.birth_week_index:4d}: {cohort.population:8.1f} plants, "
                  f"age {cohort.age_weeks(0)} weeks")


if __name__ == "__main__":
    main()
