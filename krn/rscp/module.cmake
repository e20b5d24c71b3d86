tov_sources(rscpuerr.cpp rscpustr.cpp
            rscpu86r.cpp rscpu86w.cpp rscpu84r.cpp rscpu84w.cpp rscpu82r.cpp rscpu82w.cpp
            rscpu46r.cpp)
tov_sources(rscpctx.cpp rscperr.cpp rscpeprt.cpp rscphook.cpp rscpname.cpp
            rscpcc.cpp rscpml.cpp
            rscpld.cpp rscpopt.cpp rscpqc.cpp rscpseg.cpp rscplcp.cpp
            rscppin.cpp rscpmc.cpp rscpcs.cpp)
tov_sources(rscpjk.cpp rscprg.cpp rscpdat.cpp)
tov_sources(rscpcobj.cpp rscpclen.cpp rscpcuni.cpp rscpclk.cpp rscpcch.cpp)
tov_sources(rscpcv.cpp rscpcput.cpp rscpc40.cpp rscpcmb.cpp rscpcsjr.cpp rscpcvu.cpp rscpcf1.cpp rscpcsb.cpp rscpctab.cpp
            rscpc16.cpp rscpcmt.cpp)
# The built-in code page data, written by rscpgen.py (checked by a test).
file(GLOB _rscpf5 CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/rscpf5_*.cpp)
foreach(_f IN LISTS _rscpf5)
  get_filename_component(_n ${_f} NAME)
  tov_sources(${_n})
endforeach()
# Each of these instantiates the converter templates for one pair of forms
# under the same file-local names.
tov_unity_skip(rscpu86r.cpp rscpu86w.cpp rscpu84r.cpp rscpu84w.cpp rscpu82r.cpp rscpu82w.cpp
               rscpu46r.cpp)
