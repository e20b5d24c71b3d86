tov_test(rscpu_test LABELS unicode
         SOURCES rscpu_harness.cpp rscpu_cases_test.cpp rscpu_adapt_test.cpp)
