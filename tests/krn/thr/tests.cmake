tov_test(thr_test LABELS runtime SOURCES thr_test.cpp
         LIBS -Wl,--wrap=malloc -Wl,--wrap=calloc -Wl,--wrap=realloc)
tov_test(thr_threads_test LABELS runtime threads SOURCES thr_threads_test.cpp)
