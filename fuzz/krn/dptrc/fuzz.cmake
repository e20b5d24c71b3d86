tov_fuzz(fuzz_errnet SOURCES errnet_fuzz.cpp)
