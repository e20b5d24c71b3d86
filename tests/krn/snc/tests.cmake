tov_test(snc_test LABELS snc
         SOURCES snc_frames_test.cpp snc_load_test.cpp snc_config_test.cpp snc_names_test.cpp
                 snc_session_test.cpp)
tov_test(snc_threads_test LABELS snc threads SOURCES snc_threads_test.cpp)

# The test GSS-API library, one source in variants (see snc_fakegss.cpp).
if(TARGET snc_test)
  foreach(variant V2 V1 NOREQ NOOPT EXT)
    string(TOLOWER ${variant} v)
    add_library(snc_fakegss_${v} MODULE ${CMAKE_CURRENT_LIST_DIR}/snc_fakegss.cpp)
    target_compile_definitions(snc_fakegss_${v} PRIVATE FAKEGSS_${variant})
    set_target_properties(snc_fakegss_${v} PROPERTIES LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
    tov_apply_warnings(snc_fakegss_${v})
    add_dependencies(snc_test snc_fakegss_${v})
    target_compile_definitions(snc_test PRIVATE SNC_FAKEGSS_${variant}="$<TARGET_FILE:snc_fakegss_${v}>")
  endforeach()
endif()
