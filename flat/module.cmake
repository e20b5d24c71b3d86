tov_sources(nlsui0.cpp)
