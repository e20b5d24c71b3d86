tov_test(si_test LABELS ni SOURCES si_test.cpp LIBS tovpeers)
