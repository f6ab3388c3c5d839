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

# End-to-end: the library against the stand-in started as a child process on a free port.
if(TARGET strandel-mock-bridge)
  add_library(strandel_e2e_support STATIC
    "${CMAKE_CURRENT_LIST_DIR}/e2e/bridge_process.cpp"
    "${CMAKE_CURRENT_LIST_DIR}/e2e/raw_connection.cpp")
  target_include_directories(strandel_e2e_support PUBLIC "${CMAKE_CURRENT_LIST_DIR}/e2e")
  target_compile_features(strandel_e2e_support PUBLIC cxx_std_17)
  target_compile_definitions(strandel_e2e_support
    PRIVATE STRANDEL_MOCK_BRIDGE_EXECUTABLE="$<TARGET_FILE:strandel-mock-bridge>")
  strandel_set_warnings(strandel_e2e_support)
  add_dependencies(strandel_e2e_support strandel-mock-bridge)

  add_executable(strandel_e2e_bridge_tests "${CMAKE_CURRENT_LIST_DIR}/e2e/e2e_bridge_test.cpp")
  target_link_libraries(strandel_e2e_bridge_tests PRIVATE
    strandel_isaacsim_client_objects strandel_e2e_support GTest::gtest GTest::gtest_main Threads::Threads)
  strandel_set_warnings(strandel_e2e_bridge_tests)
  gtest_discover_tests(strandel_e2e_bridge_tests TEST_PREFIX "e2e." DISCOVERY_TIMEOUT 120
                       PROPERTIES TIMEOUT 300 LABELS e2e)
endif()
