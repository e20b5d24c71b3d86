tov_sources(lgxxerr.cpp lgxxadm.cpp lgxxlist.cpp lgxx.cpp)
