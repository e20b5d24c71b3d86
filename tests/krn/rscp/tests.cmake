find_package(ICU COMPONENTS uc)
tov_test(rscpu_test LABELS unicode
         SOURCES rscpu_harness.cpp rscpu_cases_test.cpp rscpu_adapt_test.cpp rscpu_diff_test.cpp
                 rscpu_sweep_test.cpp
         LIBS ICU::uc)
tov_test(rscpu_thread_test LABELS unicode threads
         SOURCES rscpu_harness.cpp rscpu_thread_test.cpp)
