tov_sources(lgxxerr.cpp)
