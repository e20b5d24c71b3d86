tov_fuzz(fuzz_cpic_fields_routes SOURCES cpic_fuzz.cpp)
tov_fuzz(fuzz_cpic_io_sideinfo SOURCES cpic_io_fuzz.cpp)
tov_fuzz(fuzz_cpic_client SOURCES cpic_client_fuzz.cpp)
tov_fuzz(fuzz_cpic_reg SOURCES cpic_reg_fuzz.cpp)
