tov_fuzz(fuzz_ad SOURCES ad_fuzz.cpp ../../../tests/peers/adcodec.cpp)
target_include_directories(fuzz_ad PRIVATE ${CMAKE_SOURCE_DIR}/tests)
