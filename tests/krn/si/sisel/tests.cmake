tov_test(sisel_test LABELS ni SOURCES sisel_test.cpp ../../../peers/tcp_pair.cpp LIBS tovpeers
         TIMEOUT 300)
tov_test(sisel_threads_test LABELS ni threads SOURCES sisel_threads_test.cpp ../../../peers/tcp_pair.cpp
         LIBS tovpeers)
tov_test(sisel_default_test LABELS ni SOURCES sisel_default_test.cpp)
