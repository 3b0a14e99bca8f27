// Not built yet.
#include <nanobind/nanobind.h>
NB_MODULE(parameters, m) { m.doc() = "not built yet"; }
