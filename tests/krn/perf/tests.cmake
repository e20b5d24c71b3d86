tov_test(perf_test LABELS runtime SOURCES perf_test.cpp)
tov_test(perf_threads_test LABELS runtime threads SOURCES perf_threads_test.cpp)
