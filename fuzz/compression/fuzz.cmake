tov_fuzz(fuzz_lzc SOURCES lzc_fuzz.cpp)
