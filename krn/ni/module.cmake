tov_sources(nierr.cpp nireport.cpp
  niaddr.cpp nisockaddr.cpp nixxres.cpp nixxhs.cpp nixxsl.cpp nixxhl.cpp nixxhl6.cpp
  nixx.cpp nixxsock.cpp nixxcon.cpp nixxri.cpp nixxdg.cpp nixxwu.cpp
  niparam.cpp nimsg.cpp nictl.cpp niroute.cpp
  nibuf.cpp nibufhdl.cpp nibufsel.cpp nisel.cpp)
