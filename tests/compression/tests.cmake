tov_test(csr_test LABELS compression
         SOURCES csr_stream_test.cpp lzc_test.cpp lzh_test.cpp csr_pool_test.cpp csr_test_util.cpp LIBS z)
tov_test(csr_threads_test LABELS compression threads SOURCES csr_pool_threads_test.cpp csr_test_util.cpp LIBS z)
