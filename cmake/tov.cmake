# Build helpers shared by every module, test, benchmark and fuzz folder.

find_package(Threads REQUIRED)
include(GoogleTest OPTIONAL)

# --- Compiler cache ---------------------------------------------------------
# Every compile goes through ccache when it is installed (TOV_CCACHE=OFF or a
# launcher given on the command line turns this off). The cache lives outside
# the tree: CCACHE_DIR when it is set, else ccache's own default
# (~/.cache/ccache). A clone in any other folder hits the same entries: paths
# below the source directory are hashed relative to it (base_dir), and every
# object names its files relative to the source directory
# (-ffile-prefix-map, which ccache also applies to the build directory it
# would otherwise hash for the debug info).
option(TOV_CCACHE "Compile through ccache when it is installed" ON)
if(TOV_CCACHE AND NOT CMAKE_CXX_COMPILER_LAUNCHER AND NOT CMAKE_C_COMPILER_LAUNCHER)
  find_program(TOV_CCACHE_PROGRAM ccache)
  if(TOV_CCACHE_PROGRAM)
    set(_launcher ${CMAKE_COMMAND} -E env CCACHE_BASEDIR=${CMAKE_SOURCE_DIR} ${TOV_CCACHE_PROGRAM})
    set(CMAKE_C_COMPILER_LAUNCHER ${_launcher})
    set(CMAKE_CXX_COMPILER_LAUNCHER ${_launcher})
  else()
    message(STATUS "ccache not found: compiling without a cache")
  endif()
endif()
add_compile_options(-ffile-prefix-map=${CMAKE_SOURCE_DIR}=.)

# --- JNI headers (the JDK's; nothing of the JVM is linked) -----------------
find_path(TOV_JNI_INCLUDE jni.h
  HINTS $ENV{JAVA_HOME}/include
  PATHS /usr/lib/jvm/java-17-openjdk-amd64/include /usr/lib/jvm/default-java/include
  NO_DEFAULT_PATH)
if(NOT TOV_JNI_INCLUDE)
  message(FATAL_ERROR "jni.h not found: run scripts/setup (openjdk-17-jdk-headless)")
endif()
set(TOV_JNI_INCLUDE_DIRS ${TOV_JNI_INCLUDE} ${TOV_JNI_INCLUDE}/linux)

# --- ICU: only its version is taken at build time; the library binds ICU at
# run time and is never linked against it.
find_file(TOV_ICU_UVERNUM unicode/uvernum.h PATHS /usr/include)
if(NOT TOV_ICU_UVERNUM)
  message(FATAL_ERROR "unicode/uvernum.h not found: run scripts/setup (libicu-dev)")
endif()
file(STRINGS ${TOV_ICU_UVERNUM} _icu_major REGEX "^#define U_ICU_VERSION_MAJOR_NUM [0-9]+")
string(REGEX REPLACE ".* ([0-9]+)$" "\\1" TOV_ICU_MAJOR "${_icu_major}")
set(TOV_DEFINITIONS TOV_ICU_MAJOR=${TOV_ICU_MAJOR})

# --- Sanitizers -------------------------------------------------------------
set(TOV_SAN_COMPILE "")
set(TOV_SAN_LINK "")
if(TOV_SANITIZE STREQUAL "address")
  set(TOV_SAN_COMPILE -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  set(TOV_SAN_LINK -fsanitize=address,undefined)
elseif(TOV_SANITIZE STREQUAL "thread")
  set(TOV_SAN_COMPILE -fsanitize=thread -fno-omit-frame-pointer)
  set(TOV_SAN_LINK -fsanitize=thread)
elseif(TOV_SANITIZE STREQUAL "fuzz")
  set(TOV_SAN_COMPILE -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer
      -fsanitize-coverage-ignorelist=${CMAKE_SOURCE_DIR}/fuzz/coverage_ignore.txt)
  set(TOV_SAN_LINK -fsanitize=address,undefined)
elseif(NOT TOV_SANITIZE STREQUAL "")
  message(FATAL_ERROR "TOV_SANITIZE must be empty, address, thread or fuzz")
endif()
add_compile_options(${TOV_SAN_COMPILE})
add_link_options(${TOV_SAN_LINK})
if(TOV_SANITIZE)
  add_compile_definitions(TOV_SANITIZED=1)
endif()

function(tov_apply_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra)
  if(TOV_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()

# --- Unity batches ---------------------------------------------------------
# The core archive and the test executables compile their sources in unity
# batches: one translation unit includes several source files, so the shared
# headers are parsed once per batch instead of once per file. The core
# archive batches by module folder (at most TOV_UNITY_CORE_BATCH files, split
# evenly), so a new or changed module leaves the other modules' batches, and
# their cache entries, as they were; a test executable batches its own
# sources. A source whose file-local names or macros clash with a neighbour's
# stays out through tov_unity_skip(). TOV_UNITY=OFF compiles every file alone,
# which also shows a file that misses an include of its own.
option(TOV_UNITY "Compile the core archive and the tests in unity batches" ON)
set(TOV_UNITY_CORE_BATCH 8 CACHE STRING "Most sources of one module folder in one core unity batch")
set(TOV_UNITY_TEST_BATCH 8 CACHE STRING "Most sources in one unity batch of a test executable")

# tov_unity_skip(<file>...): compile these sources of the including
# module.cmake's or tests.cmake's folder on their own, outside every unity
# batch. Call it next to tov_sources() or tov_test(), before or after.
function(tov_unity_skip)
  foreach(s IN LISTS ARGN)
    set_source_files_properties(${CMAKE_CURRENT_LIST_DIR}/${s} PROPERTIES
      SKIP_UNITY_BUILD_INCLUSION ON)
  endforeach()
endfunction()

# tov_unity_by_folder(<target> <size>): the target's batches are its source
# folders, each split into ceil(n / size) batches of nearly equal length.
# Called once all sources and opt-outs of the target are known.
function(tov_unity_by_folder target size)
  if(NOT TOV_UNITY)
    return()
  endif()
  get_target_property(srcs ${target} SOURCES)
  set(keys "")
  set(units "")
  foreach(s IN LISTS srcs)
    get_source_file_property(skip ${s} SKIP_UNITY_BUILD_INCLUSION)
    if(skip OR NOT s MATCHES "\\.(c|cpp)$")
      continue()
    endif()
    get_filename_component(dir ${s} DIRECTORY)
    file(RELATIVE_PATH rel ${CMAKE_SOURCE_DIR} ${dir})
    string(MAKE_C_IDENTIFIER "${rel}" key)
    if(NOT DEFINED count_${key})
      set(count_${key} 0)
      list(APPEND keys ${key})
    endif()
    math(EXPR count_${key} "${count_${key}} + 1")
    list(APPEND units ${key} ${s})
  endforeach()
  foreach(key IN LISTS keys)
    math(EXPR batches_${key} "(${count_${key}} + ${size} - 1) / ${size}")
    set(index_${key} 0)
  endforeach()
  while(units)
    list(POP_FRONT units key s)
    math(EXPR batch "${index_${key}} * ${batches_${key}} / ${count_${key}}")
    set_source_files_properties(${s} PROPERTIES UNITY_GROUP ${key}_${batch})
    math(EXPR index_${key} "${index_${key}} + 1")
  endwhile()
  set_target_properties(${target} PROPERTIES UNITY_BUILD ON UNITY_BUILD_MODE GROUP)
endfunction()

# tov_collect(<out-var> <file-name> <root>...): every <file-name> below the
# given roots of the source tree, in a stable order.
function(tov_collect out name)
  set(found "")
  foreach(root IN LISTS ARGN)
    if(EXISTS ${CMAKE_SOURCE_DIR}/${root})
      file(GLOB_RECURSE f CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/${root}/${name})
      list(APPEND found ${f})
    endif()
  endforeach()
  list(SORT found)
  set(${out} ${found} PARENT_SCOPE)
endfunction()

# tov_sources(<file>...): add sources of the including module.cmake's folder
# to the core archive.
function(tov_sources)
  foreach(s IN LISTS ARGN)
    target_sources(tovcore PRIVATE ${CMAKE_CURRENT_LIST_DIR}/${s})
  endforeach()
endfunction()

# tov_test(<name> LABELS <label>... SOURCES <file>... [LIBS <lib>...]
#          [TIMEOUT <seconds>] [ENV <VAR=value>...])
# One GoogleTest executable; each test case becomes one CTest test carrying
# the executable's labels. With TOV_ONLY_LABEL set (the tsan preset sets
# 'threads'), executables without that label are not even built.
set(TOV_ONLY_LABEL "" CACHE STRING "Build only the test executables with this label")
function(tov_test name)
  cmake_parse_arguments(T "" "TIMEOUT" "LABELS;SOURCES;LIBS;ENV" ${ARGN})
  if(TOV_ONLY_LABEL AND NOT TOV_ONLY_LABEL IN_LIST T_LABELS)
    return()
  endif()
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  set(srcs "")
  foreach(s IN LISTS T_SOURCES)
    list(APPEND srcs ${CMAKE_CURRENT_LIST_DIR}/${s})
  endforeach()
  add_executable(${name} ${srcs})
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  target_link_libraries(${name} PRIVATE tovcore tovtestsupport GTest::gtest GTest::gmock ${T_LIBS})
  target_compile_definitions(${name} PRIVATE TOV_SOURCE_DIR="${CMAKE_SOURCE_DIR}"
    TOV_BINARY_DIR="${CMAKE_BINARY_DIR}")
  tov_apply_warnings(${name})
  # GCC's tracking of variable locations through optimised code takes half
  # the compile time of a large test under the sanitizers; the tests keep
  # their line tables (stack traces, sanitizer reports) without it.
  target_compile_options(${name} PRIVATE $<$<CXX_COMPILER_ID:GNU>:-fno-var-tracking-assignments>)
  if(TOV_UNITY)
    set_target_properties(${name} PROPERTIES
      UNITY_BUILD ON UNITY_BUILD_BATCH_SIZE ${TOV_UNITY_TEST_BATCH})
  endif()
  gtest_discover_tests(${name}
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 60
    PROPERTIES TIMEOUT ${T_TIMEOUT})
  # Labels and environment are lists, which the discovered tests' flat
  # property list would split into separate properties; ctest sets them from
  # a script that it runs after the discovery script has listed the tests.
  set(props ${CMAKE_BINARY_DIR}/${name}_properties.cmake)
  file(WRITE ${props}
    "if(DEFINED ${name}_TESTS)\n"
    "  set_tests_properties(\${${name}_TESTS} PROPERTIES\n"
    "    LABELS \"${T_LABELS}\" ENVIRONMENT \"${T_ENV}\")\n"
    "endif()\n")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${props})
endfunction()

# tov_bench(<name> SOURCES <file>... [LIBS <lib>...]): a Google Benchmark
# executable, built by the target 'benches' only.
function(tov_bench name)
  cmake_parse_arguments(B "" "" "SOURCES;LIBS" ${ARGN})
  find_package(benchmark REQUIRED)
  set(srcs "")
  foreach(s IN LISTS B_SOURCES)
    list(APPEND srcs ${CMAKE_CURRENT_LIST_DIR}/${s})
  endforeach()
  add_executable(${name} EXCLUDE_FROM_ALL ${srcs})
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
  target_link_libraries(${name} PRIVATE tovcore benchmark::benchmark ${B_LIBS})
  target_compile_definitions(${name} PRIVATE TOV_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
  tov_apply_warnings(${name})
  add_dependencies(benches ${name})
  set_property(GLOBAL APPEND PROPERTY TOV_BENCHES ${name})
endfunction()

# The subsystem label of a fuzz folder (fuzz/<folder>), the one its tests
# carry, for the replay tests of targets that name none.
function(tov_fuzz_label out dir)
  file(RELATIVE_PATH rel ${CMAKE_SOURCE_DIR}/fuzz ${dir})
  set(label runtime)
  if(rel MATCHES "^compression")
    set(label compression)
  elseif(rel MATCHES "^i18n")
    set(label unicode)
  elseif(rel MATCHES "^krn/(ni|si|fi)(/|$)")
    set(label ni)
  elseif(rel MATCHES "^krn/snc(/|$)")
    set(label snc)
  elseif(rel MATCHES "^krn/(gw|cpic)(/|$)")
    set(label gateway)
  elseif(rel MATCHES "^krn/(ms|ad|adtl|lg)(/|$)")
    set(label msgserver)
  elseif(rel MATCHES "^krn/rscp(/|$)")
    set(label codepage)
  elseif(rel MATCHES "^krn/rfc(/|$)")
    set(label bindings)
  endif()
  set(${out} ${label} PARENT_SCOPE)
endfunction()

# tov_fuzz(<name> SOURCES <file>... [LIBS <lib>...] [LABELS <label>...])
# In the fuzz configuration a libFuzzer target. In the others a plain
# executable of the same name (build/<preset>/fuzz/<name>) that runs the
# target on the files, or every file of the folders, given as arguments
# (fuzz/replay_main.cpp), and the CTest test fuzz.<name> that replays the
# seed corpus <name>.seeds/ beside the fuzz.cmake, or the empty input when
# there is none; labelled fuzz and LABELS, or the folder's subsystem.
function(tov_fuzz name)
  cmake_parse_arguments(F "" "" "SOURCES;LIBS;LABELS" ${ARGN})
  set(srcs "")
  foreach(s IN LISTS F_SOURCES)
    list(APPEND srcs ${CMAKE_CURRENT_LIST_DIR}/${s})
  endforeach()
  add_executable(${name} ${srcs})
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/fuzz)
  target_link_libraries(${name} PRIVATE tovcore ${F_LIBS})
  tov_apply_warnings(${name})
  if(TOV_BUILD_FUZZ)
    target_link_options(${name} PRIVATE -fsanitize=fuzzer)
    add_dependencies(fuzzers ${name})
    return()
  endif()
  target_link_libraries(${name} PRIVATE tovfuzzreplay)
  if(NOT F_LABELS)
    tov_fuzz_label(F_LABELS ${CMAKE_CURRENT_LIST_DIR})
  endif()
  # Checked again at every build, so that a seed folder made later is found.
  file(GLOB seeds LIST_DIRECTORIES true CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/${name}.seeds)
  add_test(NAME fuzz.${name} COMMAND ${name} ${seeds})
  set_tests_properties(fuzz.${name} PROPERTIES LABELS "fuzz;${F_LABELS}" TIMEOUT 120)
endfunction()
