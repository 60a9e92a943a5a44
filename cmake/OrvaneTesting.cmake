# GoogleTest, built from the sources Debian ships (they build with mingw-w64 and run under Wine).
set(ORVANE_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest source tree")
if(NOT EXISTS ${ORVANE_GTEST_SOURCE}/CMakeLists.txt)
  message(FATAL_ERROR "No GoogleTest sources at ${ORVANE_GTEST_SOURCE}: set ORVANE_GTEST_SOURCE to a "
                      "GoogleTest source tree (on Windows, a checkout of it), or configure with "
                      "-DORVANE_TESTS=OFF")
endif()
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
add_subdirectory(${ORVANE_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)

include(GoogleTest)

# orvane_add_test(NAME SOURCES ... LIBRARIES ... [PROPERTIES ...])
# One test executable; each of its tests becomes its own ctest test, listed at test time (so a
# Windows executable is listed through Wine, and only when the suite runs).
function(orvane_add_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBRARIES;PROPERTIES" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBRARIES} GTest::gmock GTest::gtest_main orvane_warnings)
  # NAME VALUE pairs, each value a single word: the discovered tests get them through a flattened
  # list, so "RESOURCE_LOCK a;b" would lock only a and turn b into a property name.
  list(LENGTH ARG_PROPERTIES property_words)
  math(EXPR odd "${property_words} % 2")
  if(odd)
    message(FATAL_ERROR "orvane_add_test(${name}): PROPERTIES must be NAME VALUE pairs with "
                        "one-word values: ${ARG_PROPERTIES}")
  endif()
  set(properties TIMEOUT 120)
  if(ARG_PROPERTIES)
    list(APPEND properties ${ARG_PROPERTIES})
  endif()
  gtest_discover_tests(${name}
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 120
    PROPERTIES ${properties})
endfunction()
