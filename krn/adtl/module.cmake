tov_sources(adtlxx.cpp)
