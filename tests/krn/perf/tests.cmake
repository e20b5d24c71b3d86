tov_test(perf_test LABELS runtime threads SOURCES perf_test.cpp)
tov_test(zonetable_test LABELS runtime SOURCES zonetable_test.cpp)
