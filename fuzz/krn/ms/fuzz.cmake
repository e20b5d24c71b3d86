tov_fuzz(fuzz_ms_header SOURCES msheader_fuzz.cpp)
tov_fuzz(fuzz_ms_stream SOURCES msstream_fuzz.cpp msreplay.cpp ../../../tests/peers/mscodec.cpp
  ../../../tests/peers/niframe.cpp)
target_include_directories(fuzz_ms_stream PRIVATE ${CMAKE_SOURCE_DIR}/tests)
tov_fuzz(fuzz_ms_records SOURCES msrecords_fuzz.cpp)
tov_fuzz(fuzz_ms_requests SOURCES msrequests_fuzz.cpp msreplay.cpp ../../../tests/peers/mscodec.cpp
  ../../../tests/peers/niframe.cpp)
target_include_directories(fuzz_ms_requests PRIVATE ${CMAKE_SOURCE_DIR}/tests)
