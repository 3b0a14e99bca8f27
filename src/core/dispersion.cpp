// Placeholder translation unit so the core library always has a source; the
// dispersion curves live here.
#include "core/cohort.hpp"
