# One extension module per Python module, one translation unit each.
narvo_module(exceptions src/modules/exceptions.cpp)
narvo_module(cohorts src/modules/cohorts.cpp)
