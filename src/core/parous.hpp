// Suckers of plants that have already flowered, as a farm attributes them.
#pragma once

namespace narvo::core {

// A cohort of `population` plants still waiting to flower, whose plants
// emit `suckers` this week, of which the share `flowered` has flowered
// before this week. Read as the unflowered remainder of what entered it, the
// cohort stands for population x flowered / (1 - flowered) flowered plants,
// and their suckers are suckers x flowered / (1 - flowered). A seeded cohort
// holds an observed population, for which that ratio can run into the
// thousands; so the flowered plants a cohort stands for are bounded by the
// flowered plants on the farm (`flowered_plants`, the post-flowering
// population at the start of the week). Continuous in every argument; a
// cohort grown by the model reaches the bound only when the post-flowering
// chain is small against its flowered plants.
inline double attributed_parous_suckers(double population, double suckers, double flowered,
                                        double flowered_plants) {
    if (!(suckers > 0.0 && flowered > 0.0)) return 0.0;
    if (flowered < 1.0 && population * flowered <= flowered_plants * (1.0 - flowered))
        return suckers * flowered / (1.0 - flowered);
    return suckers / population * flowered_plants;
}

}  // namespace narvo::core
