tov_sources(csr_stream.cpp lzc.cpp)
