tov_test(adtl_test LABELS msgserver SOURCES adtl_test.cpp ../../peers/adcodec.cpp LIBS icuuc)
