tov_fuzz(fuzz_cpic_fields_routes SOURCES cpic_fuzz.cpp)
tov_fuzz(fuzz_cpic_io_sideinfo SOURCES cpic_io_fuzz.cpp)
