tov_test(dptrc_test LABELS runtime SOURCES dptrc_test.cpp err_test.cpp)
tov_test(dptrc_threads_test LABELS runtime threads SOURCES dptrc_threads_test.cpp)
