tov_fuzz(fuzz_unframe SOURCES unframe_fuzz.cpp)
