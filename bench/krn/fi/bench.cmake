tov_bench(fi_bench SOURCES fi_bench.cpp)
