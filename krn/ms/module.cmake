tov_sources(msxxtext.cpp msxxi.cpp msxx.cpp msnibuf_standin.cpp)
