tov_fuzz(fuzz_si_handoff SOURCES handoff_fuzz.cpp)
