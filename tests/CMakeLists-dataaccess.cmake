# Tests of the run-file layer and of the synthetic-run generator; included from
# tests/CMakeLists.txt, which provides GTest and GoogleTest.
add_executable(dataaccess_tests
  dataaccess_test.cpp tools_mkrun_test.cpp ${PROJECT_SOURCE_DIR}/tools/mkrun_plan.cpp)
target_link_libraries(dataaccess_tests PRIVATE bantrisk_dataaccess bantrisk_lib
  GTest::gtest_main bantrisk_warnings)
target_compile_definitions(dataaccess_tests PRIVATE
  BANTRISK_NEXUS_DATA="${PROJECT_SOURCE_DIR}/tests/data/nexus"
  BANTRISK_MKRUN="$<TARGET_FILE:bantrisk-mkrun>"
  BANTRISK_MKRUN_ORACLE="${PROJECT_SOURCE_DIR}/tests/mkrun_oracle.py")
add_dependencies(dataaccess_tests bantrisk-mkrun)
gtest_discover_tests(dataaccess_tests DISCOVERY_TIMEOUT 60)
