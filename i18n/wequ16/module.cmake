tov_sources(u16str.cpp)
