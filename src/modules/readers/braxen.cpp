// Not built yet.
#include <nanobind/nanobind.h>
NB_MODULE(braxen, m) { m.doc() = "not built yet"; }
