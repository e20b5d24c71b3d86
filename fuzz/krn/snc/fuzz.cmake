tov_fuzz(fuzz_unframe SOURCES unframe_fuzz.cpp)

# Sessions fed with frames, over the tests' GSS-API library.
add_library(snc_fuzz_fakegss MODULE ${CMAKE_SOURCE_DIR}/tests/krn/snc/snc_fakegss.cpp)
target_compile_definitions(snc_fuzz_fakegss PRIVATE FAKEGSS_V2)
target_compile_options(snc_fuzz_fakegss PRIVATE -fno-sanitize=all)
target_link_options(snc_fuzz_fakegss PRIVATE -fno-sanitize=all)
set_target_properties(snc_fuzz_fakegss PROPERTIES LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/fuzz)
tov_fuzz(fuzz_snc_input SOURCES processinput_fuzz.cpp)
add_dependencies(fuzz_snc_input snc_fuzz_fakegss)
target_compile_definitions(fuzz_snc_input PRIVATE SNC_FAKEGSS_V2="$<TARGET_FILE:snc_fuzz_fakegss>")
