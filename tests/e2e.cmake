# The stand-in bridge's own tests and the end-to-end tests that start it as a process.
# Included by tests/CMakeLists.txt.

if(TARGET strandel_mock_bridge_core)
  file(GLOB STRANDEL_MOCK_BRIDGE_TEST_SOURCES CONFIGURE_DEPENDS "${PROJECT_SOURCE_DIR}/mock_bridge/tests/*.cpp")
  add_executable(strandel_mock_bridge_tests ${STRANDEL_MOCK_BRIDGE_TEST_SOURCES})
  target_link_libraries(strandel_mock_bridge_tests PRIVATE strandel_mock_bridge_core GTest::gtest GTest::gtest_main)
  strandel_set_warnings(strandel_mock_bridge_tests)
  gtest_discover_tests(strandel_mock_bridge_tests TEST_PREFIX "mock_bridge." DISCOVERY_TIMEOUT 120
                       PROPERTIES TIMEOUT 120)
endif()
