tov_fuzz(fuzz_u16str SOURCES u16str_fuzz.cpp)
tov_fuzz(fuzz_u16fmt SOURCES u16fmt_fuzz.cpp)
tov_fuzz(fuzz_u16file SOURCES u16file_fuzz.cpp)
