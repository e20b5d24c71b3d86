tov_sources(niaddr_standin.cpp nierr.cpp nihdl_standin.cpp nireport.cpp)
