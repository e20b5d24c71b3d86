tov_test(cpic_codes_test LABELS gateway SOURCES cpic_codes_test.cpp)
# The table tests ask for more memory than there is: the sanitizer's
# allocator answers NULL as the C library's does.
tov_test(cpic_table_test LABELS gateway SOURCES cpic_table_test.cpp
  ENV ASAN_OPTIONS=allocator_may_return_null=1:detect_leaks=1:abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1)
tov_test(cpic_start_test LABELS gateway SOURCES cpic_start_test.cpp LIBS tovpeers)
tov_test(cpic_trace_test LABELS gateway SOURCES cpic_trace_test.cpp)
tov_test(cpic_threads_test LABELS gateway threads SOURCES cpic_threads_test.cpp)
tov_test(cpic_io_test LABELS gateway SOURCES cpic_io_test.cpp LIBS tovpeers)
tov_test(cpic_state_test LABELS gateway SOURCES cpic_state_test.cpp LIBS tovpeers)
tov_test(cpic_side_test LABELS gateway SOURCES cpic_side_test.cpp)
tov_test(cpic_side_threads_test LABELS gateway threads SOURCES cpic_side_threads_test.cpp)
tov_test(cpic_client_test LABELS gateway SOURCES cpic_client_test.cpp LIBS tovpeers)
tov_test(cpic_client_threads_test LABELS gateway threads SOURCES cpic_client_threads_test.cpp LIBS tovpeers)
# The initialise request over 127.0.0.1, and with NI's IPv6 in use over ::1.
tov_test(cpic_init_test LABELS gateway SOURCES cpic_init_test.cpp LIBS tovpeers)
tov_test(cpic_init6_test LABELS gateway SOURCES cpic_init_test.cpp LIBS tovpeers ENV WEQ_IPv6_ACTIVE=1)
tov_test(cpic_reg_test LABELS gateway SOURCES cpic_reg_test.cpp LIBS tovpeers)
tov_test(cpic_sel_test LABELS gateway SOURCES cpic_sel_test.cpp LIBS tovpeers)
tov_test(cpic_reg_threads_test LABELS gateway threads SOURCES cpic_reg_threads_test.cpp LIBS tovpeers)
# Protected conversations over the test GSS-API library (tests/krn/snc).
tov_test(cpic_snc_test LABELS gateway snc SOURCES cpic_snc_test.cpp LIBS tovpeers)
tov_test(cpic_snc_threads_test LABELS gateway snc threads SOURCES cpic_snc_threads_test.cpp LIBS tovpeers)
tov_test(cpic_snc_krb5_test LABELS gateway snc krb5 SOURCES cpic_snc_krb5_test.cpp LIBS tovpeers TIMEOUT 240)
