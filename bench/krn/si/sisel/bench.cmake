tov_bench(sisel_bench SOURCES sisel_bench.cpp)
