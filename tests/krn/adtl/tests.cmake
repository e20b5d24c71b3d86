tov_test(adtl_test LABELS msgserver SOURCES adtl_test.cpp LIBS tovpeers icuuc)
