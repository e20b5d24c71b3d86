tov_sources(affinity.cpp)
tov_sources(alertsleep.cpp)
tov_sources(perfcounter.cpp)
tov_sources(timezone.cpp)
