tov_bench(si_bench SOURCES si_bench.cpp)
