tov_test(dl_test LABELS runtime threads SOURCES dl_test.cpp)
