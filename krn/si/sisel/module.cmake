tov_sources(sisel.cpp siselpoll.cpp siselnt.cpp siselntfc.cpp)
# The three implementations name their trace texts alike (kInit, kSet, ...).
tov_unity_skip(siselpoll.cpp siselnt.cpp siselntfc.cpp)
