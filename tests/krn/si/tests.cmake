tov_test(si_test LABELS ni SOURCES si_test.cpp si_pass_test.cpp LIBS tovpeers)
tov_test(si_threads_test LABELS ni threads SOURCES si_threads_test.cpp LIBS tovpeers)
