tov_test(gw_header_test LABELS gateway SOURCES gw_header_test.cpp LIBS tovpeercodec)
tov_test(gw_net_test LABELS gateway SOURCES gw_net_test.cpp)
tov_test(gw_names_test LABELS gateway SOURCES gw_names_test.cpp)
tov_test(gw_ni_test LABELS gateway SOURCES gw_ni_test.cpp LIBS tovpeers)
tov_test(gw_threads_test LABELS gateway threads SOURCES gw_threads_test.cpp)
tov_test(gw_connect_test LABELS gateway SOURCES gw_connect_test.cpp)
tov_test(gw_route_test LABELS gateway SOURCES gw_route_test.cpp)
# The connect against gw_peer on 127.0.0.1, and again with NI's IPv6 in use
# on ::1.
tov_test(gw_peer_test LABELS gateway SOURCES gw_peer_test.cpp LIBS tovpeers)
tov_test(gw_peer6_test LABELS gateway SOURCES gw_peer_test.cpp LIBS tovpeers ENV WEQ_IPv6_ACTIVE=1)
tov_test(gw_oldconnect_test LABELS gateway SOURCES gw_oldconnect_test.cpp LIBS tovpeers)
