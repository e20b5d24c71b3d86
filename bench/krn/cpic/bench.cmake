tov_bench(cpic_bench SOURCES cpic_bench.cpp LIBS tovpeers)
tov_bench(cpic_snc_bench SOURCES cpic_snc_bench.cpp LIBS tovpeers)
