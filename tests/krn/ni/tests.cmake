tov_test(niaddr_test LABELS ni SOURCES niaddr_test.cpp)
