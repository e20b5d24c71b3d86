tov_fuzz(fuzz_weqparam SOURCES weqparam_fuzz.cpp)
