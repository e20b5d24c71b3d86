tov_fuzz(fuzz_lg SOURCES lg_fuzz.cpp ../ms/msreplay.cpp ../../../tests/peers/mscodec.cpp
  ../../../tests/peers/niframe.cpp ../../../tests/peers/adcodec.cpp)
target_include_directories(fuzz_lg PRIVATE ${CMAKE_SOURCE_DIR}/tests)
