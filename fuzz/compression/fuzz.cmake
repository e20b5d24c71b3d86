tov_fuzz(fuzz_lzc SOURCES lzc_fuzz.cpp)
tov_fuzz(fuzz_lzh_inflate SOURCES lzh_inflate_fuzz.cpp lzh_fuzz_util.cpp LIBS z)
tov_fuzz(fuzz_lzh_roundtrip SOURCES lzh_roundtrip_fuzz.cpp lzh_fuzz_util.cpp LIBS z)
