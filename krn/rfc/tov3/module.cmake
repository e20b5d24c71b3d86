tov_sources(rfcweqgui.cpp)
