tov_test(ms_test LABELS msgserver SOURCES ms_test.cpp)
tov_test(msxxi_test LABELS msgserver SOURCES msxxi_test.cpp msxxop_test.cpp LIBS tovpeers)
tov_test(ms_threads_test LABELS msgserver threads SOURCES ms_threads_test.cpp)
# IPv6 on, so that the client also reaches a peer on ::1.
tov_test(ms_client_test LABELS msgserver SOURCES ms_login_test.cpp ms_exchange_test.cpp ms_requests_test.cpp
  LIBS tovpeers ENV WEQ_IPv6_ACTIVE=1)
