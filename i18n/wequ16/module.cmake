tov_sources(u16str.cpp)
tov_sources(blankfld.cpp)
