tov_bench(cpic_bench SOURCES cpic_bench.cpp LIBS tovpeers)
