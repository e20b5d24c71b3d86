tov_sources(fi.cpp ft.cpp)
