tov_sources(rscp4jrep.cpp rscp4jcnv.cpp rscp4jctab.cpp)
