# The detector checks on a full-size run: 20000 map entries, 20000 zero-count spectra.
# Included from more than one place; the guard defines the target once.
include_guard(GLOBAL)
add_executable(checks_bench ${CMAKE_CURRENT_LIST_DIR}/checks_bench.cpp)
target_link_libraries(checks_bench PRIVATE bantrisk_driver bantrisk_warnings)
set_target_properties(checks_bench PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR})
