tov_sources(sisel.cpp siselpoll.cpp siselnt.cpp siselntfc.cpp)
