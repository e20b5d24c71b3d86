tov_test(pfclock_test LABELS runtime SOURCES pfclock_test.cpp contloctime_test.cpp)
tov_test(pfclock_threads_test LABELS runtime threads SOURCES pfclock_threads_test.cpp)
