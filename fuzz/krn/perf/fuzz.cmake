tov_fuzz(fuzz_zonefile SOURCES zonefile_fuzz.cpp)
