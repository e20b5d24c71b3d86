tov_test(ntport_test LABELS runtime SOURCES ntport_test.cpp)
