// Not built yet.
#include <nanobind/nanobind.h>
NB_MODULE(demmet, m) { m.doc() = "not built yet"; }
