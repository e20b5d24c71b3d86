tov_test(wequ16_test LABELS unicode SOURCES u16str_test.cpp)
