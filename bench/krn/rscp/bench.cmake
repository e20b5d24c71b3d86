find_package(ICU COMPONENTS uc)
tov_bench(rscpu_bench SOURCES rscpu_bench.cpp LIBS ICU::uc)
tov_bench(rscpctx_bench SOURCES rscpctx_bench.cpp)
tov_bench(rscpjk_bench SOURCES rscpjk_bench.cpp)
