tov_fuzz(fuzz_niaddr SOURCES niaddr_fuzz.cpp)
