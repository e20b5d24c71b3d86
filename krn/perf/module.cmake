tov_sources(contloctime.cpp pfclock.cpp pftime.cpp)
