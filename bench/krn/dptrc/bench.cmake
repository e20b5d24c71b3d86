tov_bench(dptrc_bench SOURCES dptrc_bench.cpp)
