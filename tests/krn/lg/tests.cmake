tov_test(lg_test LABELS msgserver SOURCES lg_test.cpp)
