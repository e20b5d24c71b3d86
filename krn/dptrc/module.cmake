tov_sources(dptrc.cpp dptrchex.cpp)
tov_sources(err.cpp errtxt.cpp errsys.cpp errnet.cpp)
