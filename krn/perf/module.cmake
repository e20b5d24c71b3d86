tov_sources(contloctime.cpp pfclock.cpp pftime.cpp zonefile.cpp)
tov_sources(pfuuid.cpp)
