tov_sources(thr.cpp thrkey.cpp thrlock.cpp)
