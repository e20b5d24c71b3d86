tov_test(thr_test LABELS runtime SOURCES thr_test.cpp
         LIBS -Wl,--wrap=calloc)
tov_test(thr_threads_test LABELS runtime threads SOURCES thr_threads_test.cpp)
