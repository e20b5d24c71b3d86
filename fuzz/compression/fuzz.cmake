tov_fuzz(fuzz_lzc SOURCES lzc_fuzz.cpp)
tov_fuzz(fuzz_lzh_inflate SOURCES lzh_inflate_fuzz.cpp lzh_fuzz_util.cpp LIBS z)
tov_fuzz(fuzz_lzh_roundtrip SOURCES lzh_roundtrip_fuzz.cpp lzh_fuzz_util.cpp LIBS z)
# The LZC codec compiles without traced comparisons, its edges kept: in its
# loops over each byte they compare data with the dictionary, tell the
# fuzzer nothing, and took more than half of fuzz_lzc's time.
if(TOV_SANITIZE STREQUAL "fuzz")
  set_source_files_properties(${CMAKE_SOURCE_DIR}/compression/lzc.cpp PROPERTIES
    COMPILE_OPTIONS -fno-sanitize-coverage=trace-cmp)
endif()
