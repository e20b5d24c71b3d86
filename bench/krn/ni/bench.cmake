tov_bench(nihs_bench SOURCES nihs_bench.cpp)
