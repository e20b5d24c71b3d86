tov_fuzz(fuzz_niaddr SOURCES niaddr_fuzz.cpp)
tov_fuzz(fuzz_nixx SOURCES nixx_fuzz.cpp)
tov_fuzz(fuzz_nimsg SOURCES nimsg_fuzz.cpp)
tov_fuzz(fuzz_nibuf SOURCES nibuf_fuzz.cpp)
