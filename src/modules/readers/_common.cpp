// Not built yet.
#include <nanobind/nanobind.h>
NB_MODULE(_common, m) { m.doc() = "not built yet"; }
