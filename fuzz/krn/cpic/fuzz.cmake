tov_fuzz(fuzz_cpic_fields_routes SOURCES cpic_fuzz.cpp)
tov_fuzz(fuzz_cpic_io_sideinfo SOURCES cpic_io_fuzz.cpp)
tov_fuzz(fuzz_cpic_client SOURCES cpic_client_fuzz.cpp)
tov_fuzz(fuzz_cpic_reg SOURCES cpic_reg_fuzz.cpp)
# Protected conversations over the tests' GSS-API library (built in
# fuzz/krn/snc).
tov_fuzz(fuzz_cpic_snc SOURCES cpic_snc_fuzz.cpp)
add_dependencies(fuzz_cpic_snc snc_fuzz_fakegss)
target_compile_definitions(fuzz_cpic_snc PRIVATE SNC_FAKEGSS_V2="$<TARGET_FILE:snc_fuzz_fakegss>")
