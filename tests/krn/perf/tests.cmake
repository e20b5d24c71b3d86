tov_test(perf_test LABELS runtime threads SOURCES perf_test.cpp)
