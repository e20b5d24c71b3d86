tov_sources(ni_standin.cpp nierr.cpp nireport.cpp
  niaddr.cpp nisockaddr.cpp nixxres.cpp nixxhs.cpp nixxsl.cpp nixxhl.cpp nixxhl6.cpp)
