tov_sources(sncxx.cpp sncxxrep.cpp sncxxctx.cpp sncxxerr.cpp sncxxpar.cpp sncxxdl.cpp sncxxiad.cpp sncxxall.cpp sncxxnam.cpp)
