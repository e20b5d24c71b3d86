tov_test(ad_test LABELS msgserver SOURCES ad_test.cpp LIBS tovpeers icuuc)
tov_test(ad_trace_test LABELS msgserver SOURCES ad_trace_test.cpp)
tov_test(ad_threads_test LABELS msgserver threads SOURCES ad_threads_test.cpp LIBS tovpeers icuuc)
