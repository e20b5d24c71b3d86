tov_sources(sncxx.cpp sncxxerr.cpp sncxxpar.cpp sncxxdl.cpp sncxxiad.cpp sncxxall.cpp sncxxnam.cpp)
