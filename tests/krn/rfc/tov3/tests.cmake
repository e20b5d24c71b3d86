# The frontend launcher: on the host against the stub frontend, and the
# platform services it starts the frontend with.
add_executable(weqgui_stub ${CMAKE_CURRENT_LIST_DIR}/weqgui_stub.cpp)
set_target_properties(weqgui_stub PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
tov_apply_warnings(weqgui_stub)

tov_test(rfcweqgui_test LABELS bindings threads
  SOURCES rfcweqgui_test.cpp guiplatform_test.cpp)
if(TARGET rfcweqgui_test)
  add_dependencies(rfcweqgui_test weqgui_stub)
  target_compile_definitions(rfcweqgui_test PRIVATE TOV_WEQGUI_STUB="$<TARGET_FILE:weqgui_stub>")
endif()
