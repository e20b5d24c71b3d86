tov_bench(lzc_bench SOURCES lzc_bench.cpp LIBS z)
# The command-line driver of lzc.bench.sh (not a benchmark executable itself).
tov_bench(lzc_file SOURCES lzc_file.cpp)
tov_bench(lzh_bench SOURCES lzh_bench.cpp LIBS z)
tov_bench(csr_pool_bench SOURCES csr_pool_bench.cpp LIBS z)
