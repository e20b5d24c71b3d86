tov_sources(msxxtext.cpp msxxi.cpp msxx.cpp msxxop.cpp msxxad.cpp)
