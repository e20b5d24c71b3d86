tov_fuzz(fuzz_rscp4j SOURCES rscp4j_fuzz.cpp ../../../tests/support/jnihost.cpp LABELS bindings)
target_include_directories(fuzz_rscp4j PRIVATE ${CMAKE_SOURCE_DIR}/tests)
