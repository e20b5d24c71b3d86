tov_sources(msxxtext.cpp)
