tov_test(niaddr_test LABELS ni SOURCES niaddr_test.cpp)
tov_test(nihs_test LABELS ni SOURCES nihs_test.cpp)
tov_test(nires_test LABELS ni SOURCES nires_test.cpp LIBS tovpeers)
# nss_wrapper answers from nsswrap_hosts; it is preloaded for this executable only.
tov_test(nsswrap_test LABELS ni SOURCES nsswrap_test.cpp
  ENV LD_PRELOAD=libnss_wrapper.so NSS_WRAPPER_HOSTS=${CMAKE_CURRENT_LIST_DIR}/nsswrap_hosts
      ASAN_OPTIONS=verify_asan_link_order=0)
tov_test(nihs_threads_test LABELS ni threads SOURCES nihs_threads_test.cpp)
tov_test(nisockaddr_test LABELS ni SOURCES nisockaddr_test.cpp)
