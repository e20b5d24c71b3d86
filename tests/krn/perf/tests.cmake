tov_test(pfclock_test LABELS runtime SOURCES pfclock_test.cpp contloctime_test.cpp)
tov_test(pfclock_threads_test LABELS runtime threads SOURCES pfclock_threads_test.cpp)
tov_test(pfuuid_test LABELS runtime SOURCES pfuuid_test.cpp)
tov_test(pfuuid_threads_test LABELS runtime threads SOURCES pfuuid_threads_test.cpp)
