tov_sources(rscpuerr.cpp rscpustr.cpp
            rscpu86r.cpp rscpu86w.cpp rscpu84r.cpp rscpu84w.cpp rscpu82r.cpp rscpu82w.cpp
            rscpu46r.cpp
            rscpjk.cpp rscprg.cpp)
