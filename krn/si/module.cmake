tov_sources(si.cpp sipass.cpp sitxt.cpp siwait.cpp)
