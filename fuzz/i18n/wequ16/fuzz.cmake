tov_fuzz(fuzz_u16str SOURCES u16str_fuzz.cpp)
