// Not built yet.
#include <nanobind/nanobind.h>
NB_MODULE(weather, m) { m.doc() = "not built yet"; }
