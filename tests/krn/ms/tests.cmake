tov_test(ms_test LABELS msgserver SOURCES ms_test.cpp)
tov_test(msxxi_test LABELS msgserver SOURCES msxxi_test.cpp msxxop_test.cpp LIBS tovpeers)
tov_test(ms_threads_test LABELS msgserver threads SOURCES ms_threads_test.cpp)
