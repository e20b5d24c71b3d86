tov_fuzz(fuzz_jrfccs SOURCES jrfccs_fuzz.cpp ../../../tests/support/jnihost.cpp)
target_include_directories(fuzz_jrfccs PRIVATE ${CMAKE_SOURCE_DIR}/tests)
