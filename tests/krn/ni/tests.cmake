tov_test(niaddr_test LABELS ni SOURCES niaddr_test.cpp)
tov_test(nihs_test LABELS ni SOURCES nihs_test.cpp)
tov_test(nires_test LABELS ni SOURCES nires_test.cpp LIBS tovpeers)
