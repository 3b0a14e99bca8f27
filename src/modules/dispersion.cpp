// Not built yet.
#include <nanobind/nanobind.h>
NB_MODULE(dispersion, m) { m.doc() = "not built yet"; }
