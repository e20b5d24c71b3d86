tov_test(csr_lzc_test LABELS compression SOURCES csr_stream_test.cpp lzc_test.cpp LIBS z)
tov_test(lzh_test LABELS compression SOURCES lzh_interop_test.cpp lzh_stream_test.cpp lzh_test_util.cpp LIBS z)
tov_test(lzh_threads_test LABELS compression threads SOURCES lzh_threads_test.cpp lzh_test_util.cpp LIBS z)
