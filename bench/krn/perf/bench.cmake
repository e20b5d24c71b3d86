tov_bench(pfclock_bench SOURCES pfclock_bench.cpp)
