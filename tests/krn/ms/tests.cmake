tov_test(ms_test LABELS msgserver SOURCES ms_test.cpp)
