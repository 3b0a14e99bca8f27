# One extension module per Python module, one translation unit each.
narvo_module(exceptions src/modules/exceptions.cpp)
narvo_module(parameters src/modules/parameters.cpp)
narvo_module(dispersion src/modules/dispersion.cpp)
narvo_module(cohorts src/modules/cohorts/module.cpp src/modules/cohorts/common.cpp
              src/modules/cohorts/records.cpp src/modules/cohorts/rates.cpp
              src/modules/cohorts/params.cpp src/modules/cohorts/curves.cpp
              src/modules/cohorts/chain.cpp src/modules/cohorts/seeding.cpp)
narvo_module(notices src/modules/notices.cpp)
narvo_module(weather src/modules/weather/module.cpp src/modules/weather/column_map.cpp
             src/modules/weather/daily_table.cpp src/modules/weather/calendar.cpp
             src/modules/weather/provider.cpp src/modules/weather/thermal.cpp)
narvo_module(toverin src/modules/toverin.cpp)
narvo_module(readers._common src/modules/readers/_common.cpp)
narvo_module(readers.vimlo src/modules/readers/vimlo.cpp)
narvo_module(readers.demmet src/modules/readers/demmet.cpp)
narvo_module(readers.quillet src/modules/readers/quillet.cpp)
narvo_module(readers.braxen src/modules/readers/braxen.cpp)
narvo_module(_farm src/modules/_farm.cpp)
