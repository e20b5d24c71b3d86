tov_fuzz(fuzz_rscpu SOURCES rscpu_fuzz.cpp)
tov_fuzz(fuzz_rscpjk SOURCES rscpjk_fuzz.cpp)
tov_fuzz(fuzz_rscpld SOURCES rscpld_fuzz.cpp)
tov_fuzz(fuzz_rscpc_obj SOURCES rscpc_obj_fuzz.cpp)
