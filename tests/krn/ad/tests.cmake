# The AD codec of the test peers and its self-test; the AD tests read the
# library's blocks with it.
tov_test(adcodec_test LABELS msgserver SOURCES ../../peers/adcodec.cpp ../../peers/adcodec_test.cpp)
tov_test(ad_test LABELS msgserver SOURCES ad_test.cpp ../../peers/adcodec.cpp LIBS icuuc)
tov_test(ad_trace_test LABELS msgserver SOURCES ad_trace_test.cpp)
tov_test(ad_threads_test LABELS msgserver threads SOURCES ad_threads_test.cpp ../../peers/adcodec.cpp LIBS icuuc)
