# The peer toolkit of the network tests: raw POSIX helpers, the namespace
# runner, the ni_peer program with its spawn helper, and the AD block codec
# of the message server peer. Nothing here links or includes the library.
add_library(tovpeers STATIC
  ${CMAKE_CURRENT_LIST_DIR}/peers.cpp
  ${CMAKE_CURRENT_LIST_DIR}/netns.cpp
  ${CMAKE_CURRENT_LIST_DIR}/peer_spawn.cpp
  ${CMAKE_CURRENT_LIST_DIR}/adcodec.cpp
  ${CMAKE_CURRENT_LIST_DIR}/niframe.cpp
  ${CMAKE_CURRENT_LIST_DIR}/nictlcodec.cpp)
target_include_directories(tovpeers PUBLIC ${CMAKE_SOURCE_DIR}/tests)
target_link_libraries(tovpeers PUBLIC tovtestsupport)
target_compile_definitions(tovpeers PRIVATE TOV_PEER_DIR="${CMAKE_BINARY_DIR}/tests")
tov_apply_warnings(tovpeers)

add_executable(ni_peer ${CMAKE_CURRENT_LIST_DIR}/ni_peer.cpp ${CMAKE_CURRENT_LIST_DIR}/nictlcodec.cpp)
set_target_properties(ni_peer PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
target_include_directories(ni_peer PRIVATE ${CMAKE_SOURCE_DIR}/tests)
find_package(Threads REQUIRED)
target_link_libraries(ni_peer PRIVATE Threads::Threads)
tov_apply_warnings(ni_peer)
add_dependencies(tovpeers ni_peer)

add_executable(gw_peer ${CMAKE_CURRENT_LIST_DIR}/gw_peer.cpp)
set_target_properties(gw_peer PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
tov_apply_warnings(gw_peer)
add_dependencies(tovpeers gw_peer)

tov_test(peers_test LABELS ni SOURCES peers_test.cpp LIBS tovpeers)
tov_test(adcodec_test LABELS msgserver SOURCES adcodec_test.cpp LIBS tovpeers)
