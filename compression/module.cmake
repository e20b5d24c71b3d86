tov_sources(csr_frame.cpp csr_pool.cpp csr_stream.cpp lzc.cpp)
tov_sources(lzh_deflate.cpp lzh_inflate.cpp)
tov_unity_skip(lzc.cpp lzh_inflate.cpp)
