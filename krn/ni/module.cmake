tov_sources(ni_standin.cpp nierr.cpp nireport.cpp)
