// Not built yet.
#include <nanobind/nanobind.h>
NB_MODULE(vimlo, m) { m.doc() = "not built yet"; }
