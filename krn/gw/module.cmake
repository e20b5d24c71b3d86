tov_sources(gwhdr.cpp gwnames.cpp gwnet.cpp gwni.cpp)
