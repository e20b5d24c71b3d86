tov_sources(nlsui0.cpp)
tov_sources(weqparam.cpp weqparamtab.cpp weqprofile.cpp)
tov_unity_skip(weqprofile.cpp)
