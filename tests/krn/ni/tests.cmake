tov_test(nierr_test LABELS ni SOURCES nierr_test.cpp LIBS tovpeers)
