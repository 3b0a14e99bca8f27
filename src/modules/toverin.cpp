// Not built yet.
#include <nanobind/nanobind.h>
NB_MODULE(toverin, m) { m.doc() = "not built yet"; }
