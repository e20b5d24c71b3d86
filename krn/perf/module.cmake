tov_sources(contloctime.cpp pfclock.cpp pftime.cpp)
tov_sources(pfuuid.cpp)
