# One small function per kind of target.

# qv_library(NAME SHARED|STATIC SOURCES... [LINK libs...])
function(qv_library name kind)
  cmake_parse_arguments(ARG "" "" "SOURCES;LINK" ${ARGN})
  add_library(${name} ${kind} ${ARG_SOURCES})
  target_include_directories(${name} PUBLIC ${CMAKE_SOURCE_DIR})
  if(ARG_LINK)
    target_link_libraries(${name} PUBLIC ${ARG_LINK})
  endif()
  set_target_properties(${name} PROPERTIES POSITION_INDEPENDENT_CODE ON)
endfunction()

# qv_program(NAME SOURCES... [LINK libs...])
function(qv_program name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LINK" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR})
  if(ARG_LINK)
    target_link_libraries(${name} PRIVATE ${ARG_LINK})
  endif()
endfunction()

# qv_test(NAME SOURCES... [LINK libs...] [TIMEOUT seconds]): a GoogleTest program
# registered with CTest, one CTest entry per test case.
function(qv_test name)
  cmake_parse_arguments(ARG "" "TIMEOUT" "SOURCES;LINK" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR})
  target_link_libraries(${name} PRIVATE ${ARG_LINK} qv_test_support GTest::gtest_main)
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 300)
  endif()
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT ${ARG_TIMEOUT}
                       WORKING_DIRECTORY ${CMAKE_BINARY_DIR})
endfunction()
