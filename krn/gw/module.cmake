tov_sources(gwconn.cpp gwhdr.cpp gwnames.cpp gwnet.cpp gwni.cpp gwroute.cpp)
