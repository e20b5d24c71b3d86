tov_bench(wequ16_bench SOURCES u16str_bench.cpp)
tov_bench(u16fmt_bench SOURCES u16fmt_bench.cpp)
