tov_sources(cpicconv.cpp cpicerr.cpp cpicinit.cpp cpicroute.cpp cpictrc.cpp)
