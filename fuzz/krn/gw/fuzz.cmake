tov_fuzz(fuzz_gw_fields_header SOURCES gw_fuzz.cpp)
