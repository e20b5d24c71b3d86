# The examples. tov_example shows what code linked with the core archive
# sees; the Java example (examples/java) shows what the library does for a
# Java client, against the toolkit's gateway and message server. Both run as
# CTest tests labelled "example" in the default configuration only: the
# sanitizer configurations run the same natives in the Java tests.
add_executable(tov_example examples/tov_example.cpp)
target_link_libraries(tov_example PRIVATE tovcore)
tov_apply_warnings(tov_example)
if(NOT TOV_BUILD_TESTS OR TOV_SANITIZE OR TOV_ONLY_LABEL)
  set_target_properties(tov_example PROPERTIES EXCLUDE_FROM_ALL ON)
  return()
endif()
add_test(NAME example.cpp COMMAND tov_example)
set_tests_properties(example.cpp PROPERTIES LABELS example TIMEOUT 60)

find_program(TOV_JAVAC javac)
find_program(TOV_JAVA java)
if(NOT TOV_JAVAC OR NOT TOV_JAVA)
  message(STATUS "javac or java missing: no Java example (run scripts/setup)")
  return()
endif()
# Compiled with the Java test bed's declarations of the natives' classes.
set(_exdir ${CMAKE_SOURCE_DIR}/examples/java)
file(GLOB_RECURSE _exsrc CONFIGURE_DEPENDS ${_exdir}/*.java ${CMAKE_SOURCE_DIR}/tests/krn/rfc/java/src/*.java)
set(_excls ${CMAKE_BINARY_DIR}/examples/classes)
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/examples/classes.stamp
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${_excls}
  COMMAND ${TOV_JAVAC} -Xlint:all -Werror -d ${_excls} ${_exsrc}
  COMMAND ${CMAKE_COMMAND} -E touch ${CMAKE_BINARY_DIR}/examples/classes.stamp
  DEPENDS ${_exsrc}
  COMMENT "javac: the Java example")
add_custom_target(java_example ALL DEPENDS ${CMAKE_BINARY_DIR}/examples/classes.stamp)
add_dependencies(java_example tovnative gw_peer ms_peer)

# build/<preset>/examples/run_java_example [folder]: the example with this
# build's library and peers; its traces and logs go to the folder (default
# build/<preset>/examples/out).
file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/examples/run_java_example
  CONTENT "#!/bin/sh
exec '${_exdir}/run_example.sh' '${TOV_JAVA}' '${_excls}' '$<TARGET_FILE_DIR:tovnative>' \\
  '$<TARGET_FILE:gw_peer>' '$<TARGET_FILE:ms_peer>' '${_exdir}' \"\${1:-${CMAKE_BINARY_DIR}/examples/out}\"
"
  FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
add_test(NAME example.java COMMAND ${CMAKE_BINARY_DIR}/examples/run_java_example ${CMAKE_BINARY_DIR}/examples/ctest)
set_tests_properties(example.java PROPERTIES LABELS example TIMEOUT 60)
