tov_sources(rscpuerr.cpp rscpustr.cpp
            rscpu86r.cpp rscpu86w.cpp rscpu84r.cpp rscpu84w.cpp rscpu82r.cpp rscpu82w.cpp
            rscpu46r.cpp)
# Each of these instantiates the converter templates for one pair of forms
# under the same file-local names.
tov_unity_skip(rscpu86r.cpp rscpu86w.cpp rscpu84r.cpp rscpu84w.cpp rscpu82r.cpp rscpu82w.cpp
               rscpu46r.cpp)
