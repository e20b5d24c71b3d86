tov_bench(wequ16_bench SOURCES u16str_bench.cpp)
