tov_test(fi_test LABELS ni SOURCES fi_test.cpp)
tov_test(fi_threads_test LABELS ni threads SOURCES fi_threads_test.cpp)
