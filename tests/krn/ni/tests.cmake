tov_test(niaddr_test LABELS ni SOURCES niaddr_test.cpp)
tov_test(nihs_test LABELS ni SOURCES nihs_test.cpp)
tov_test(nires_test LABELS ni SOURCES nires_test.cpp LIBS tovpeers)
# nss_wrapper answers from nsswrap_hosts; it is preloaded for this executable only.
tov_test(nsswrap_test LABELS ni SOURCES nsswrap_test.cpp
  ENV LD_PRELOAD=libnss_wrapper.so NSS_WRAPPER_HOSTS=${CMAKE_CURRENT_LIST_DIR}/nsswrap_hosts
      NSS_WRAPPER_DISABLE_DEEPBIND=1
      ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1:verify_asan_link_order=0)
tov_test(nihs_threads_test LABELS ni threads SOURCES nihs_threads_test.cpp)
tov_test(nisockaddr_test LABELS ni SOURCES nisockaddr_test.cpp)
tov_test(nierr_test LABELS ni SOURCES nierr_test.cpp LIBS tovpeers)
tov_test(nixx_test LABELS ni SOURCES nixx_test.cpp LIBS tovpeers)
tov_test(nixxcon_test LABELS ni SOURCES nixxcon_test.cpp LIBS tovpeers)
tov_test(nixx_threads_test LABELS ni threads SOURCES nixx_threads_test.cpp)
tov_test(nimsg_test LABELS ni SOURCES nimsg_test.cpp LIBS tovpeers)
tov_test(niparam_test LABELS ni SOURCES niparam_test.cpp LIBS tovpeers)
tov_test(nimsg_threads_test LABELS ni threads SOURCES nimsg_threads_test.cpp LIBS tovpeers)
tov_test(nixxwu_test LABELS ni SOURCES nixxwu_test.cpp LIBS tovpeers)
tov_test(nixxwu_threads_test LABELS ni threads SOURCES nixxwu_threads_test.cpp LIBS tovpeers)
tov_test(nibuf_test LABELS ni SOURCES nibuf_test.cpp LIBS tovpeers)
tov_test(nisel_test LABELS ni SOURCES nisel_test.cpp LIBS tovpeers)
tov_test(nibuf_threads_test LABELS ni threads SOURCES nibuf_threads_test.cpp LIBS tovpeers)
tov_test(niroute_test LABELS ni SOURCES niroute_test.cpp LIBS tovpeers)
tov_test(nictl_test LABELS ni SOURCES nictl_test.cpp LIBS tovpeers)
