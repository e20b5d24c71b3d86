tov_sources(adxx.cpp adxxcvt.cpp adxx_nistandin.cpp)
