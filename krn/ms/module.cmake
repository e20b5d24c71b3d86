tov_sources(msxxtext.cpp msxxi.cpp msxx.cpp msxxop.cpp msxxad.cpp msnibuf_standin.cpp)
