find_package(ICU REQUIRED COMPONENTS uc)
tov_test(rscpu_test LABELS unicode SOURCES rscpu_test.cpp)
tov_test(rscpu_thread_test LABELS unicode threads SOURCES rscpu_thread_test.cpp)
tov_test(rscperr_test LABELS codepage SOURCES rscperr_test.cpp rscp_testutil.cpp)
tov_test(rscphook_test LABELS codepage SOURCES rscphook_test.cpp rscp_testutil.cpp)
tov_test(rscp_thread_test LABELS codepage threads SOURCES rscp_thread_test.cpp rscp_testutil.cpp)
tov_test(rscpjk_test LABELS codepage SOURCES rscpjk_test.cpp LIBS ICU::uc)
tov_test(rscprg_test LABELS codepage SOURCES rscprg_test.cpp LIBS ICU::uc)
tov_test(rscpdat_thread_test LABELS codepage threads SOURCES rscpdat_thread_test.cpp)
tov_test(rscpf5_test LABELS codepage SOURCES rscpf5_test.cpp rscpf5_tset_test.cpp rscpf5_tset_cat.cpp
         LIBS ICU::uc TIMEOUT 300)
# The generated code page data must be what the generator makes of its
# manifest today.
find_package(Python3 COMPONENTS Interpreter)
if(Python3_Interpreter_FOUND AND NOT TOV_ONLY_LABEL)
  add_test(NAME rscpgen_check COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/krn/rscp/rscpgen.py --check)
  set_tests_properties(rscpgen_check PROPERTIES LABELS codepage TIMEOUT 120)
endif()
tov_test(rscpcc_test LABELS codepage SOURCES rscpcc_test.cpp rscp_testutil.cpp)
tov_test(rscpml_test LABELS codepage SOURCES rscpml_test.cpp rscp_testutil.cpp)
tov_test(rscpml_model_test LABELS codepage SOURCES rscpml_model_test.cpp rscp_testutil.cpp)
tov_test(rscpcc_thread_test LABELS codepage threads SOURCES rscpcc_thread_test.cpp rscp_testutil.cpp)
tov_test(rscpld_load_test LABELS codepage SOURCES rscpld_load_test.cpp rscpf5_tset_cat.cpp rscp_testutil.cpp
         LIBS ICU::uc TIMEOUT 300)
tov_test(rscpld_oracle_test LABELS codepage SOURCES rscpld_oracle_test.cpp rscp_testutil.cpp
         LIBS ICU::uc TIMEOUT 600)
tov_test(rscpld_build_test LABELS codepage SOURCES rscpld_build_test.cpp rscp_testutil.cpp)
tov_test(rscpld_thread_test LABELS codepage threads SOURCES rscpld_thread_test.cpp rscp_testutil.cpp TIMEOUT 300)
tov_test(rscpmc_test LABELS codepage SOURCES rscpmc_test.cpp rscp_testutil.cpp TIMEOUT 300)
