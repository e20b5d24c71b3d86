find_package(ICU REQUIRED COMPONENTS uc)
tov_bench(nlsui_bench SOURCES nlsui_bench.cpp LIBS ICU::uc)
