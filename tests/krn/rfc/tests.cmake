tov_test(rfc_library_test LABELS bindings SOURCES library_test.cpp)
if(TARGET rfc_library_test)
  add_dependencies(rfc_library_test tovnative)
  target_compile_definitions(rfc_library_test PRIVATE TOV_LIBTOVNATIVE="$<TARGET_FILE:tovnative>")
endif()
tov_test(rfc_bindings_test LABELS bindings
  SOURCES jrfcutil_test.cpp jrfccs_test.cpp jrfc_init_test.cpp)
tov_test(rfc_lg_test LABELS bindings msgserver SOURCES jrfclg_test.cpp LIBS tovpeers)
tov_test(rfc_bindings_threads_test LABELS bindings threads
  SOURCES jrfc_threads_test.cpp jrfclg_threads_test.cpp jrfccv_threads_test.cpp LIBS tovpeers)
tov_test(rfc_cpic_test LABELS bindings SOURCES jrfccv_test.cpp LIBS tovpeers)
tov_test(rfc_snc_test LABELS bindings snc SOURCES jrfcsnc_test.cpp LIBS tovpeers)
