tov_bench(thr_bench SOURCES thr_bench.cpp)
