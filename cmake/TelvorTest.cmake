# telvor_add_test(<name> SOURCES ... LIBS ... [PROPERTIES ...])
# Builds one GoogleTest program and registers each of its tests with ctest.
# Windows programs run through Wine (CMAKE_CROSSCOMPILING_EMULATOR).
function(telvor_add_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS;PROPERTIES" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} gtest gtest_main)
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/src ${CMAKE_SOURCE_DIR}/tests)
  gtest_discover_tests(${name}
    DISCOVERY_TIMEOUT 120
    PROPERTIES TIMEOUT 300 ${T_PROPERTIES})
endfunction()
