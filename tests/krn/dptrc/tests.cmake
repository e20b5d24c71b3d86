tov_test(dptrc_test LABELS runtime
  SOURCES dptrc_test.cpp err_test.cpp trc_checker.cpp)
