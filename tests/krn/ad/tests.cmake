# The AD codec of the test peers and its self-test; the AD tests read the
# library's blocks with it.
tov_test(adcodec_test LABELS msgserver SOURCES ../../peers/adcodec.cpp ../../peers/adcodec_test.cpp)
tov_test(ad_test LABELS msgserver SOURCES ad_test.cpp ../../peers/adcodec.cpp LIBS icuuc)
