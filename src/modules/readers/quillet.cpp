// Not built yet.
#include <nanobind/nanobind.h>
NB_MODULE(quillet, m) { m.doc() = "not built yet"; }
