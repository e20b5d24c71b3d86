tov_fuzz(fuzz_cpic_fields_routes SOURCES cpic_fuzz.cpp)
