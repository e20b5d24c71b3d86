tov_test(dptrc_test LABELS runtime
  SOURCES dptrc_test.cpp dptrc_dump_test.cpp err_test.cpp trc_checker.cpp)
tov_test(dptrc_threads_test LABELS runtime threads
  SOURCES dptrc_threads_test.cpp trc_checker.cpp)
