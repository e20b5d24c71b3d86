find_package(ICU REQUIRED COMPONENTS uc i18n)

tov_test(nlsui_test LABELS unicode SOURCES nlsui_test.cpp LIBS ICU::uc ICU::i18n)
tov_test(nlsui_threads_test LABELS unicode threads SOURCES nlsui_threads_test.cpp LIBS ICU::uc ICU::i18n)

# Stand-ins for a broken ICU common library, loaded by nlsui_test in place of
# the real one.
if(TARGET nlsui_test)
  foreach(variant BADDATA NOCOMMON NOBIDI)
    string(TOLOWER ${variant} v)
    add_library(nlsui_fakeicu_${v} MODULE ${CMAKE_CURRENT_LIST_DIR}/nlsui_fakeicu.cpp)
    target_compile_definitions(nlsui_fakeicu_${v} PRIVATE
      TOV_ICU_MAJOR=${TOV_ICU_MAJOR} NLSUI_FAKE_${variant})
    set_target_properties(nlsui_fakeicu_${v} PROPERTIES
      LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
    tov_apply_warnings(nlsui_fakeicu_${v})
    add_dependencies(nlsui_test nlsui_fakeicu_${v})
    target_compile_definitions(nlsui_test PRIVATE
      NLSUI_FAKE_${variant}_PATH="$<TARGET_FILE:nlsui_fakeicu_${v}>")
  endforeach()
endif()

tov_test(weqparam_test LABELS runtime SOURCES weqparam_test.cpp)
tov_test(weqparam_threads_test LABELS runtime threads SOURCES weqparam_threads_test.cpp)
