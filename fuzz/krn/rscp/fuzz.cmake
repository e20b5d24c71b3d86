tov_fuzz(fuzz_rscpu SOURCES rscpu_fuzz.cpp)
