tov_sources(adxx.cpp adxxcvt.cpp)
