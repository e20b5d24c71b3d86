tov_sources(u16str.cpp u16file.cpp u16file_put.cpp u16file_get.cpp u16file_report.cpp)
tov_sources(blankfld.cpp)
tov_sources(u16fmt.cpp)
tov_unity_skip(u16file_get.cpp)
