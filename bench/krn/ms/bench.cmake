tov_bench(ms_bench SOURCES ms_bench.cpp ../../../tests/peers/peer_spawn.cpp ../../../tests/peers/peers.cpp
  ../../../tests/peers/niframe.cpp ../../../tests/peers/mscodec.cpp ../../../tests/peers/adcodec.cpp)
target_include_directories(ms_bench PRIVATE ${CMAKE_SOURCE_DIR}/tests)
target_compile_definitions(ms_bench PRIVATE TOV_PEER_DIR="${CMAKE_BINARY_DIR}/tests")
add_dependencies(ms_bench ms_peer)
