tov_sources(nierr.cpp nihdl_standin.cpp nireport.cpp
  niaddr.cpp nisockaddr.cpp nixxres.cpp nixxhs.cpp nixxsl.cpp nixxhl.cpp nixxhl6.cpp)
