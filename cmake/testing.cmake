# GoogleTest from Debian's source package, built with this tree's compiler and
# sanitizer flags (a prebuilt native libgtest would be uninstrumented, and there is
# no prebuilt one for MinGW). Its own code is never debugged here and its speed
# does not matter: unoptimised and without debug information it builds in a third
# of the time (it was the largest single step of every tree's build).
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
foreach(t gtest gtest_main)
  if(QB2_SANITIZE)
    target_compile_options(${t} PRIVATE -fsanitize=${QB2_SANITIZE} -fno-omit-frame-pointer)
  endif()
  target_compile_options(${t} PRIVATE -O0 -g0)
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    target_compile_options(${t} PRIVATE -w)
  endif()
endforeach()
include(GoogleTest)

# One precompiled header for every test of the tree: GoogleTest's header (and
# windows.h for the Windows tests) took a second or two of every test file's
# compilation. Test targets reuse it (qb2_add_gtest), so its flags are theirs.
file(WRITE ${CMAKE_BINARY_DIR}/qb2_test_pch.cpp "// the precompiled header's own object\n")
add_library(qb2_test_pch OBJECT ${CMAKE_BINARY_DIR}/qb2_test_pch.cpp)
target_link_libraries(qb2_test_pch PRIVATE qb2_options gtest)
target_compile_options(qb2_test_pch PRIVATE -g1)
target_precompile_headers(qb2_test_pch PRIVATE <gtest/gtest.h> <string> <vector>)
if(WIN32)
  target_precompile_headers(qb2_test_pch PRIVATE <windows.h>)
endif()

set(QB2_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)

# qb2_add_gtest(<target> SOURCES ... [LIBS ...] [LABELS ...] [TIMEOUT s] [TIMING])
# Native: one ctest test per test case. TIMING marks tests that assert time-outs
# over a pty (with wide margins): they carry the label pty_timing, so that
# `ctest -L pty_timing` runs them alone; they run beside other tests.
# Windows: the executable runs under Wine through the emulator wrapper, one ctest
# test per suite pattern in SUITES (or one for the whole executable), inside the
# Wine fixture and one at a time, because all Wine tests share a window station
# and the single-instance check finds any dialog of the program's class.
function(qb2_add_gtest target)
  cmake_parse_arguments(A "TIMING" "TIMEOUT" "SOURCES;LIBS;LABELS;SUITES;ENV" ${ARGN})
  add_executable(${target} ${A_SOURCES})
  target_link_libraries(${target} PRIVATE ${A_LIBS} qb2_options gtest gtest_main)
  # Line tables are what a failing test's report and a sanitizer's stack need; full
  # debug information made the test code take half as long again to build.
  target_compile_options(${target} PRIVATE -g1)
  target_precompile_headers(${target} REUSE_FROM qb2_test_pch)
  if(NOT A_TIMEOUT)
    set(A_TIMEOUT 120)
  endif()
  if(WIN32)
    target_link_libraries(${target} PRIVATE user32 gdi32 advapi32)
    if(NOT A_SUITES)
      set(A_SUITES "*")
    endif()
    foreach(suite ${A_SUITES})
      string(REPLACE "*" "" sname "${suite}")
      if(sname STREQUAL "")
        set(tname ${target})
      else()
        set(tname ${target}.${sname})
      endif()
      add_test(NAME ${tname} COMMAND ${target} --gtest_filter=${suite}.*)
      set_tests_properties(${tname} PROPERTIES
        FIXTURES_REQUIRED wine RESOURCE_LOCK wineserver TIMEOUT ${A_TIMEOUT}
        LABELS "wine;${A_LABELS}"
        ENVIRONMENT "QB2_WINEPREFIX=${QB2_WINEPREFIX};${A_ENV}")
    endforeach()
  else()
    set(props TIMEOUT ${A_TIMEOUT})
    if(A_TIMING)
      list(APPEND props LABELS pty_timing)
    endif()
    if(A_ENV)
      list(APPEND props ENVIRONMENT "${A_ENV}")
    endif()
    gtest_discover_tests(${target} DISCOVERY_TIMEOUT 60 PROPERTIES ${props})
  endif()
endfunction()
