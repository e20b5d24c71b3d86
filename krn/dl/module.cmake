tov_sources(dl.cpp)
