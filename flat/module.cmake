tov_sources(nlsui0.cpp)
tov_sources(weqparam.cpp weqparamtab.cpp weqprofile.cpp)
