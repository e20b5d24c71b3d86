tov_sources(sncxx.cpp sncxxctx.cpp sncxxerr.cpp sncxxpar.cpp sncxxdl.cpp sncxxiad.cpp sncxxall.cpp sncxxnam.cpp)
