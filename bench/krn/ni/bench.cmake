tov_bench(nihs_bench SOURCES nihs_bench.cpp)
tov_bench(nixx_bench SOURCES nixx_bench.cpp)
tov_bench(nimsg_bench SOURCES nimsg_bench.cpp)
tov_bench(nixxwu_bench SOURCES nixxwu_bench.cpp)
