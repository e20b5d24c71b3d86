tov_bench(snc_bench SOURCES snc_bench.cpp)
tov_bench(snc_krb5_bench SOURCES snc_krb5_bench.cpp)
