# The peer toolkit of the network tests: raw POSIX helpers, the namespace
# runner, the spawn helper and the peers' log lines, the peer programs, and
# the codecs of the wire formats the peers speak (NI framing, error records,
# the gateway's records, AD blocks, the message server's records) with the
# runner of the message server peer. Nothing here links or includes the
# library.
add_library(tovpeercodec STATIC
  ${CMAKE_CURRENT_LIST_DIR}/niframe.cpp
  ${CMAKE_CURRENT_LIST_DIR}/errrec.cpp
  ${CMAKE_CURRENT_LIST_DIR}/gwcodec.cpp
  ${CMAKE_CURRENT_LIST_DIR}/nictlcodec.cpp
  ${CMAKE_CURRENT_LIST_DIR}/peerlog.cpp)
target_include_directories(tovpeercodec PUBLIC ${CMAKE_SOURCE_DIR}/tests)
tov_apply_warnings(tovpeercodec)

add_library(tovpeers STATIC
  ${CMAKE_CURRENT_LIST_DIR}/peers.cpp
  ${CMAKE_CURRENT_LIST_DIR}/netns.cpp
  ${CMAKE_CURRENT_LIST_DIR}/peer_spawn.cpp
  ${CMAKE_CURRENT_LIST_DIR}/peerlog_wait.cpp
  ${CMAKE_CURRENT_LIST_DIR}/adcodec.cpp
  ${CMAKE_CURRENT_LIST_DIR}/mscodec.cpp
  ${CMAKE_CURRENT_LIST_DIR}/mspeer_run.cpp)
target_include_directories(tovpeers PUBLIC ${CMAKE_SOURCE_DIR}/tests)
target_link_libraries(tovpeers PUBLIC tovtestsupport tovpeercodec)
target_compile_definitions(tovpeers PRIVATE TOV_PEER_DIR="${CMAKE_BINARY_DIR}/tests")
tov_apply_warnings(tovpeers)

add_executable(ni_peer ${CMAKE_CURRENT_LIST_DIR}/ni_peer.cpp)
set_target_properties(ni_peer PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
find_package(Threads REQUIRED)
target_link_libraries(ni_peer PRIVATE tovpeercodec Threads::Threads)
tov_apply_warnings(ni_peer)
add_dependencies(tovpeers ni_peer)

# gw_peer serves every connection of a test on one thread; it is a tool of
# the tests and runs without the sanitizers in every configuration, so that
# a sanitized test's time is the library's (its own copy of the codecs).
add_executable(gw_peer ${CMAKE_CURRENT_LIST_DIR}/gw_peer.cpp ${CMAKE_CURRENT_LIST_DIR}/gw_peer_conv.cpp
  ${CMAKE_CURRENT_LIST_DIR}/niframe.cpp ${CMAKE_CURRENT_LIST_DIR}/errrec.cpp
  ${CMAKE_CURRENT_LIST_DIR}/gwcodec.cpp ${CMAKE_CURRENT_LIST_DIR}/peerlog.cpp)
set_target_properties(gw_peer PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
target_include_directories(gw_peer PRIVATE ${CMAKE_SOURCE_DIR}/tests)
target_compile_options(gw_peer PRIVATE -fno-sanitize=all)
target_link_options(gw_peer PRIVATE -fno-sanitize=all)
tov_apply_warnings(gw_peer)
add_dependencies(tovpeers gw_peer)

# The message server peer: the toolkit's socket helpers, framing and AD
# codec and its own header codec, nothing else.
add_executable(ms_peer ${CMAKE_CURRENT_LIST_DIR}/ms_peer.cpp ${CMAKE_CURRENT_LIST_DIR}/mscodec.cpp
  ${CMAKE_CURRENT_LIST_DIR}/adcodec.cpp ${CMAKE_CURRENT_LIST_DIR}/niframe.cpp
  ${CMAKE_CURRENT_LIST_DIR}/peers.cpp)
target_include_directories(ms_peer PRIVATE ${CMAKE_SOURCE_DIR}/tests)
set_target_properties(ms_peer PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
tov_apply_warnings(ms_peer)
add_dependencies(tovpeers ms_peer)

tov_test(peers_test LABELS ni SOURCES peers_test.cpp LIBS tovpeers)
tov_test(adcodec_test LABELS msgserver SOURCES adcodec_test.cpp LIBS tovpeers)
tov_test(ms_peer_test LABELS msgserver SOURCES ms_peer_test.cpp LIBS tovpeers)
