# kiln_module(NAME [SOURCES files...] [DEPS libs...])
# Builds src/<NAME>/*.cc (or the given sources) into the static library
# kiln_<NAME>. New files are picked up on the next build without editing.
function(kiln_module name)
  cmake_parse_arguments(M "" "" "SOURCES;DEPS" ${ARGN})
  if(M_SOURCES)
    set(srcs ${M_SOURCES})
  else()
    file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cc)
  endif()
  add_library(kiln_${name} STATIC ${srcs})
  target_include_directories(kiln_${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
  if(M_DEPS)
    target_link_libraries(kiln_${name} PUBLIC ${M_DEPS})
  endif()
endfunction()

# kiln_unit_tests(NAME [DEPS libs...])
# Builds tests/<NAME>/*_test.cc into one GoogleTest binary, <NAME>_tests,
# registered with ctest as one test per test case.
function(kiln_unit_tests name)
  cmake_parse_arguments(M "" "" "DEPS" ${ARGN})
  file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cc)
  add_executable(${name}_tests ${srcs})
  target_link_libraries(${name}_tests PRIVATE ${M_DEPS} GTest::gtest GTest::gtest_main)
  target_include_directories(${name}_tests PRIVATE ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/tests)
  include(GoogleTest)
  gtest_discover_tests(${name}_tests DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 300)
endfunction()
