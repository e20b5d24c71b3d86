# The Java test bed: our own Java classes with the natives' declarations and
# JUnit tests, compiled with javac and run under -Xcheck:jni in a fresh JVM
# per CTest test. ThreadSanitizer builds no JVM test.
find_program(TOV_JAVAC javac)
find_program(TOV_JAVA java)
find_file(TOV_JUNIT_JAR junit-platform-console-standalone.jar PATHS /usr/share/java NO_DEFAULT_PATH)
if(TOV_SANITIZE STREQUAL "thread" OR NOT TOV_JAVAC OR NOT TOV_JAVA OR NOT TOV_JUNIT_JAR)
  if(NOT TOV_SANITIZE STREQUAL "thread")
    message(STATUS "javac, java or the JUnit console missing: no Java tests (run scripts/setup)")
  endif()
  return()
endif()

set(_jdir ${CMAKE_CURRENT_LIST_DIR})
file(GLOB_RECURSE _jsrc CONFIGURE_DEPENDS ${_jdir}/src/*.java ${_jdir}/test/*.java)
set(TOV_JAVA_CLASSES ${CMAKE_BINARY_DIR}/java/classes)
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/java/classes.stamp
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${TOV_JAVA_CLASSES}
  COMMAND ${TOV_JAVAC} -Xlint:all -Werror -d ${TOV_JAVA_CLASSES} -cp ${TOV_JUNIT_JAR} ${_jsrc}
  COMMAND ${CMAKE_COMMAND} -E touch ${CMAKE_BINARY_DIR}/java/classes.stamp
  DEPENDS ${_jsrc}
  COMMENT "javac: the Java test bed")
add_custom_target(java_testbed ALL DEPENDS ${CMAKE_BINARY_DIR}/java/classes.stamp)

# The test copy of the library: the product plus the probe natives.
add_library(tovnative_probe SHARED ${CMAKE_SOURCE_DIR}/krn/rfc/jrfc_entry.cpp ${_jdir}/jrfcprobe.cpp)
target_link_libraries(tovnative_probe PRIVATE "$<LINK_LIBRARY:WHOLE_ARCHIVE,tovcore>")
set_target_properties(tovnative_probe PROPERTIES CXX_VISIBILITY_PRESET hidden
  LINK_DEPENDS ${CMAKE_SOURCE_DIR}/cmake/tovnative.map)
target_link_options(tovnative_probe PRIVATE -Wl,--version-script=${CMAKE_SOURCE_DIR}/cmake/tovnative.map)
target_include_directories(tovnative_probe PRIVATE ${CMAKE_SOURCE_DIR}/tests)
tov_apply_warnings(tovnative_probe)
add_dependencies(java_testbed tovnative tovnative_probe)

set(_preload "")
if(TOV_SANITIZE STREQUAL "address")
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libasan.so
    OUTPUT_VARIABLE _preload OUTPUT_STRIP_TRAILING_WHITESPACE)
endif()

# tov_java_test(<name> <library> <selector> [ENV ...] [LABELS ...] [EXPECT text]
#               [REJECT text]): EXPECT and REJECT name a text that the JVM's
# output must hold, or must not.
function(tov_java_test name lib select)
  cmake_parse_arguments(J "" "EXPECT;REJECT" "ENV;LABELS" ${ARGN})
  add_test(NAME java.${name}
    COMMAND ${_jdir}/run_java_test.sh ${TOV_JAVA} ${TOV_JUNIT_JAR} ${TOV_JAVA_CLASSES}
      ${CMAKE_BINARY_DIR} ${lib} "${select}" "${_preload}" "${J_EXPECT}" "${J_REJECT}")
  set_tests_properties(java.${name} PROPERTIES LABELS "java;${J_LABELS}" TIMEOUT 300
    ENVIRONMENT "TOVNATIVE_TRACE_UNUSED=1;${J_ENV}")
endfunction()

set(_s --select-method=com.weq.test.StartupTest)
tov_java_test(Startup.traceUnset tovnative "${_s}#traceUnset")
tov_java_test(Startup.traceNegative tovnative "${_s}#traceNegative" ENV TOVNATIVE_TRACE=-1)
tov_java_test(Startup.traceNotANumber tovnative "${_s}#traceNotANumber" ENV TOVNATIVE_TRACE=x)
tov_java_test(Startup.traceLevelTwoInADirectory tovnative "${_s}#traceLevelTwoInADirectory"
  ENV TOVNATIVE_TRACE=2 TOVNATIVE_TRACE_DIR=${CMAKE_BINARY_DIR}/java/trc)
tov_java_test(Startup.initTwice tovnative "${_s}#initTwice")
tov_java_test(CpicTrace tovnative --select-class=com.weq.test.CpicTraceTest)
tov_java_test(Threads tovnative_probe --select-class=com.weq.test.ThreadsTest LABELS threads)
tov_java_test(Reload tovnative --select-class=com.weq.test.ReloadTest)
tov_java_test(Compress tovnative --select-class=com.weq.test.CompressTest)
tov_java_test(CompressFuzz tovnative --select-class=com.weq.test.CompressFuzzTest)
# Converters made before INIT start the converter impromptu: it says so on
# standard error unless RSCP_CATCH_INIT is 0.
tov_java_test(Converter tovnative_probe --select-class=com.weq.test.ConverterTest
  EXPECT "Impromptu CCC initialization by 'rscpCInit'." REJECT "Correct wrong surrogate")
tov_java_test(ConverterFuzz tovnative --select-class=com.weq.test.ConverterFuzzTest)
tov_java_test(ConverterOracle tovnative --select-class=com.weq.test.ConverterOracleTest
  ENV RSCP_CATCH_INIT=0 REJECT "Impromptu")

# The frontend launcher against the stub frontend, with registry stores of
# the run's own. The stub is defined with the launcher's host tests.
set(_gui ${CMAKE_BINARY_DIR}/java/gui)
set(_guienv XDG_CONFIG_DIRS=${_gui}/machine XDG_CONFIG_HOME=${_gui}/user
  TOV_WEQGUI_STUB=$<TARGET_FILE:weqgui_stub>)
tov_java_test(Launcher tovnative_probe --select-class=com.weq.test.LauncherTest ENV ${_guienv})
tov_java_test(Launcher.weqguiSet tovnative_probe
  "--select-method=com.weq.test.LauncherTest#weqguiInTheEnvironmentStartsNothing"
  ENV ${_guienv} WEQGUI=$<TARGET_FILE:weqgui_stub>)
add_dependencies(java_testbed weqgui_stub)

# The LG natives against the message server of the tests, with a trace file
# at level 1 in a folder of the run.
tov_java_test(Lg tovnative_probe --select-class=com.weq.test.LgTest
  ENV TOV_MS_PEER=$<TARGET_FILE:ms_peer> TOVNATIVE_TRACE=1 TOVNATIVE_TRACE_DIR=${CMAKE_BINARY_DIR}/java/lgtrc)
add_dependencies(java_testbed ms_peer)

# The CpicDriver natives against the gateway of the tests, started by each
# test; the trace test in a JVM of its own, since the first trace setting
# opens the file for the process.
set(_c --select-class=com.weq.test.CpicTest)
# Unbuffered sends: a receive is a request of its own that a rule of the
# peer can hold back.
set(_gwenv TOV_GW_PEER=$<TARGET_FILE:gw_peer> CPIC_BUFFERING=0)
foreach(_m clientRoadThroughTheEcho partnerLuName maxConvGrowsTheTable stringCapacities peerErrorRecordWhole
    timedOutReadThenTheLateAnswer cancelAfterATimedOutRead serverRoadVersion2 serverRoadVersion3
    listen3ThenTheListenerThenTheReceive closeAndAbortFlags uuids versionTraceFileNameAndKeepAlive
    blankIdDeallocateWhileAnInitialiseWaits blankIdReceiveWhileAnInitialiseWaits
    blankIdDeallocatesBesideConversationsInARow)
  list(APPEND _cpicsel "--select-method=com.weq.test.CpicTest#${_m}")
endforeach()
string(JOIN " " _cpicsel ${_cpicsel})
# A small table, so that filling it is cheap.
tov_java_test(Cpic tovnative "${_cpicsel}" ENV ${_gwenv} CPIC_MAX_CONV=6)
tov_java_test(Cpic.traceFile tovnative "--select-method=com.weq.test.CpicTest#cpicTraceIntoAFileOfTheRun")
add_dependencies(java_testbed gw_peer)
# Leaks: the JVM's native memory tracking and the probe's record counts.
tov_java_test(CpicLeak tovnative_probe --select-class=com.weq.test.CpicLeakTest
  ENV ${_gwenv} JAVA_TOOL_OPTIONS=-XX:NativeMemoryTracking=summary)

# Protected conversations through the natives over the test GSS-API library.
tov_java_test(CpicSnc tovnative_probe --select-class=com.weq.test.CpicSncTest
  ENV ${_gwenv} TOV_FAKEGSS=$<TARGET_FILE:snc_fakegss_v2>)
add_dependencies(java_testbed snc_fakegss_v2)

# Over MIT Kerberos: a JVM of its own inside the realm that krb5_launch
# makes and ends (its KDC stopped by pid, also after a failure).
add_executable(krb5_launch ${_jdir}/krb5_launch.cpp)
target_include_directories(krb5_launch PRIVATE ${CMAKE_SOURCE_DIR}/tests)
tov_apply_warnings(krb5_launch)
add_dependencies(java_testbed krb5_launch)
add_test(NAME java.CpicKrb5
  COMMAND krb5_launch ${_jdir}/run_java_test.sh ${TOV_JAVA} ${TOV_JUNIT_JAR} ${TOV_JAVA_CLASSES}
    ${CMAKE_BINARY_DIR} tovnative --select-class=com.weq.test.CpicKrb5Test "${_preload}")
set_tests_properties(java.CpicKrb5 PROPERTIES LABELS "java;krb5" TIMEOUT 300
  ENVIRONMENT "TOVNATIVE_TRACE_UNUSED=1;TOV_GW_PEER=$<TARGET_FILE:gw_peer>;CPIC_BUFFERING=0")
