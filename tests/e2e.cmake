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

  # The example programs against the stand-in; the PNGs they write are decoded with stb_image.
  if(TARGET quickstart AND TARGET camera_to_png AND TARGET stream_monitor AND TARGET readme_usage)
    add_executable(strandel_e2e_examples_tests "${CMAKE_CURRENT_LIST_DIR}/e2e/e2e_examples_test.cpp")
    target_link_libraries(strandel_e2e_examples_tests PRIVATE
      strandel_isaacsim_client_objects strandel_e2e_support "${STRANDEL_STB_LIBRARY}" GTest::gtest GTest::gtest_main)
    target_include_directories(strandel_e2e_examples_tests PRIVATE "${STRANDEL_STB_INCLUDE_DIR}")
    target_compile_definitions(strandel_e2e_examples_tests PRIVATE
      STRANDEL_EXAMPLE_QUICKSTART="$<TARGET_FILE:quickstart>"
      STRANDEL_EXAMPLE_CAMERA_TO_PNG="$<TARGET_FILE:camera_to_png>"
      STRANDEL_EXAMPLE_STREAM_MONITOR="$<TARGET_FILE:stream_monitor>"
      STRANDEL_EXAMPLE_README_USAGE="$<TARGET_FILE:readme_usage>")
    add_dependencies(strandel_e2e_examples_tests quickstart camera_to_png stream_monitor readme_usage)
    strandel_set_warnings(strandel_e2e_examples_tests)
    gtest_discover_tests(strandel_e2e_examples_tests TEST_PREFIX "e2e." DISCOVERY_TIMEOUT 120
                         PROPERTIES TIMEOUT 300 LABELS e2e)
  endif()

  # The strandel command line against the stand-in; the PNGs it writes are decoded with stb_image.
  if(TARGET strandel)
    find_library(STRANDEL_STB_LIBRARY NAMES stb REQUIRED)
    find_path(STRANDEL_STB_INCLUDE_DIR NAMES stb/stb_image.h REQUIRED)
    add_executable(strandel_e2e_cli_tests "${CMAKE_CURRENT_LIST_DIR}/e2e/e2e_cli_test.cpp")
    target_link_libraries(strandel_e2e_cli_tests PRIVATE
      strandel::isaacsim_client strandel_e2e_support "${STRANDEL_STB_LIBRARY}" GTest::gtest GTest::gtest_main)
    target_include_directories(strandel_e2e_cli_tests PRIVATE "${STRANDEL_STB_INCLUDE_DIR}")
    target_compile_definitions(strandel_e2e_cli_tests PRIVATE STRANDEL_CLI_EXECUTABLE="$<TARGET_FILE:strandel>")
    add_dependencies(strandel_e2e_cli_tests strandel)
    strandel_set_warnings(strandel_e2e_cli_tests)
    gtest_discover_tests(strandel_e2e_cli_tests TEST_PREFIX "e2e.cli." DISCOVERY_TIMEOUT 120
                         PROPERTIES TIMEOUT 300 LABELS e2e)
  endif()
endif()
