tov_sources(sisel.cpp siselpoll.cpp siselnt.cpp siselntfc.cpp)
# Both name their trace texts kInit, kSet, ... for their own class.
tov_unity_skip(siselnt.cpp siselntfc.cpp)
