tov_test(wequ16_test LABELS unicode SOURCES u16str_test.cpp)
tov_test(blankfld_test LABELS unicode SOURCES blankfld_test.cpp)
