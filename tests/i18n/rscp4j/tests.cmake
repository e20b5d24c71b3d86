tov_test(rscp4j_test LABELS bindings SOURCES rscp4j_test.cpp)
tov_test(rscp4j_threads_test LABELS bindings threads SOURCES rscp4j_threads_test.cpp)
