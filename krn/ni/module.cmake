tov_sources(niaddr.cpp nixxres.cpp nixxhs.cpp nixxsl.cpp nixxhl.cpp nixxhl6.cpp)
