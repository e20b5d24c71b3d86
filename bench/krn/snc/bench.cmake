tov_bench(snc_bench SOURCES snc_bench.cpp)
