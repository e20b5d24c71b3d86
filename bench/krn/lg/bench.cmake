tov_bench(lg_bench SOURCES lg_bench.cpp LIBS tovpeers)
