tov_sources(cpic_ni_standin.cpp cpicconv.cpp cpicerr.cpp cpicinit.cpp cpicroute.cpp cpictrc.cpp)
