tov_sources(cpicconv.cpp cpicerr.cpp cpicinit.cpp cpicroute.cpp cpictrc.cpp cpicio.cpp cpicside.cpp cpicstate.cpp
  cpicclnt.cpp cpicsend.cpp cpicrcv.cpp cpicsel.cpp cpicsnc.cpp cpicreg.cpp cpiccncl.cpp)
