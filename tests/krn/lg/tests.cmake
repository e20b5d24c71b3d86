tov_test(lg_test LABELS msgserver SOURCES lg_test.cpp)
# IPv6 on, so that groups and names at ::1 resolve.
tov_test(lg_lookup_test LABELS msgserver SOURCES lg_lookup_test.cpp lg_lists_test.cpp LIBS tovpeers
  ENV WEQ_IPv6_ACTIVE=1)
tov_test(lg_threads_test LABELS msgserver threads SOURCES lg_threads_test.cpp LIBS tovpeers)
