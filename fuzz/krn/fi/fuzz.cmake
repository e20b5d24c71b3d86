tov_fuzz(fuzz_fi SOURCES fi_fuzz.cpp)
