find_package(ICU REQUIRED COMPONENTS uc)
tov_test(wequ16_test LABELS unicode SOURCES u16str_test.cpp u16file_test.cpp u16fmt_test.cpp blankfld_test.cpp
         LIBS ICU::uc)
tov_test(wequ16_threads_test LABELS unicode threads SOURCES wequ16_threads_test.cpp)
