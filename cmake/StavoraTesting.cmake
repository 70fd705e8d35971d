# GoogleTest wiring for both builds.
# Native: Debian's packaged GoogleTest. Windows: GoogleTest cross-compiled
# from /usr/src/googletest; the programs run under Wine through the
# toolchain's CMAKE_CROSSCOMPILING_EMULATOR.

if(NOT STAVORA_BUILD_TESTS)
  return()
endif()

include(GoogleTest)

if(WIN32)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/_googletest EXCLUDE_FROM_ALL)
  set(STAVORA_GTEST_MAIN gtest_main)
else()
  find_package(GTest REQUIRED)
  set(STAVORA_GTEST_MAIN GTest::gtest_main)
endif()

# The Wine tests of one build share one prefix: its registry (the StavoraPath
# value, the classes root), its temporary directory and the log file in it.
# Tests that check or change that state must not overlap, so every Wine test
# holds this lock; the native tests run in parallel.
set(STAVORA_WINE_STATE_LOCK stavora_wine_state)

# stavora_add_gtest(<name> SOURCES <files...> [LIBS <targets...>] [TIMEOUT <s>])
# Builds one GoogleTest program and registers each of its tests with ctest.
function(stavora_add_gtest name)
  cmake_parse_arguments(ARG "" "TIMEOUT" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} ${STAVORA_GTEST_MAIN})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 60)
  endif()
  set(_properties TIMEOUT ${ARG_TIMEOUT})
  if(WIN32)
    list(APPEND _properties RESOURCE_LOCK ${STAVORA_WINE_STATE_LOCK})
  endif()
  gtest_discover_tests(${name}
    DISCOVERY_TIMEOUT 30
    DISCOVERY_MODE PRE_TEST
    PROPERTIES ${_properties})
endfunction()
