find_package(ICU REQUIRED COMPONENTS uc)
tov_bench(wequ16_bench SOURCES u16str_bench.cpp u16file_bench.cpp LIBS ICU::uc)
tov_bench(u16fmt_bench SOURCES u16fmt_bench.cpp)
