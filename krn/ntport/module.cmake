tov_sources(ntbound.cpp ntlocal.cpp ntport.cpp)
