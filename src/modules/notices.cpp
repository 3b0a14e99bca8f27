// Not built yet.
#include <nanobind/nanobind.h>
NB_MODULE(notices, m) { m.doc() = "not built yet"; }
