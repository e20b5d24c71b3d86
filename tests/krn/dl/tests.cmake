tov_test(dl_test LABELS runtime SOURCES dl_test.cpp)
tov_test(dl_threads_test LABELS runtime threads SOURCES dl_threads_test.cpp)
