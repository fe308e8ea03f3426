# telvor_add_test(<name> SOURCES ... LIBS ... [PROPERTIES ...] [SERIAL <gtest filter>])
# Builds one GoogleTest program and registers each of its tests with ctest.
# Windows programs run through Wine (CMAKE_CROSSCOMPILING_EMULATOR). The tests
# that SERIAL names measure timing against the machine's clock: they run with
# nothing beside them, where five other Wine programs on two cores would
# delay the threads they time.
function(telvor_add_test name)
  cmake_parse_arguments(T "" "SERIAL" "SOURCES;LIBS;PROPERTIES" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} gtest gtest_main)
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/src ${CMAKE_SOURCE_DIR}/tests)
  if(T_SERIAL)
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 120 TEST_FILTER "-${T_SERIAL}"
      PROPERTIES TIMEOUT 300 ${T_PROPERTIES})
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 120 TEST_FILTER "${T_SERIAL}"
      PROPERTIES TIMEOUT 300 RUN_SERIAL TRUE ${T_PROPERTIES})
  else()
    gtest_discover_tests(${name}
      DISCOVERY_TIMEOUT 120
      PROPERTIES TIMEOUT 300 ${T_PROPERTIES})
  endif()
endfunction()
