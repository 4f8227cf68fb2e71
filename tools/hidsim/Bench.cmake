# hidsim bench: the HTTP page and API around the two simulators.
find_package(PkgConfig REQUIRED)
pkg_check_modules(HTTPLIB REQUIRED IMPORTED_TARGET GLOBAL cpp-httplib)
find_package(nlohmann_json REQUIRED GLOBAL)
set(bench_page ${CMAKE_CURRENT_BINARY_DIR}/BenchPage.cpp)
add_custom_command(OUTPUT ${bench_page}
  COMMAND ${CMAKE_COMMAND} -DIN=${CMAKE_CURRENT_SOURCE_DIR}/BenchPage.html -DOUT=${bench_page}
          -P ${CMAKE_CURRENT_SOURCE_DIR}/EmbedPage.cmake
  DEPENDS BenchPage.html EmbedPage.cmake)
zol_static_library(zol_hidsim_bench Bench.cpp BenchHub.cpp ${bench_page})
target_link_libraries(zol_hidsim_bench PUBLIC zol_hidsim_models PkgConfig::HTTPLIB nlohmann_json::nlohmann_json)
