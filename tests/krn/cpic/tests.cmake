tov_test(cpic_codes_test LABELS gateway SOURCES cpic_codes_test.cpp)
