tov_test(csr_lzc_test LABELS compression SOURCES csr_stream_test.cpp lzc_test.cpp LIBS z)
