tov_test(rscpu_test LABELS unicode SOURCES rscpu_test.cpp)
tov_test(rscpu_thread_test LABELS unicode threads SOURCES rscpu_thread_test.cpp)
