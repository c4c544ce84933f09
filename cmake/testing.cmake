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

# The Wine prefixes of a Windows tree: QB2_WINE_LANES of them, so that that many
# Windows tests run side by side (tools/wine/wine-run.sh gives each run a free one);
# the first is also the prefix of scripts/run.sh and the figures.
set(QB2_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)
# Four: with six, a burst of programs starting at once in every lane (a Wine start
# takes a few hundred milliseconds of a core) was seen to push a main-job run past
# its bounds on two cores.
set(QB2_WINE_LANES 4 CACHE STRING "Wine prefixes a Windows tree's tests run in side by side")

# Properties every Windows test shares: it runs inside the tree's Wine fixture
# (the lanes made and their servers up) in whichever lane is free. A run that
# GoogleTest skips shows as skipped, as does one that wine-run.sh cannot start here
# (exit value 77: a 32-bit program where 32-bit Wine cannot start). ENV adds
# variables.
function(qb2_wine_test name)
  cmake_parse_arguments(A "" "TIMEOUT" "ENV;LABELS" ${ARGN})
  if(NOT A_TIMEOUT)
    set(A_TIMEOUT 120)
  endif()
  set_tests_properties(${name} PROPERTIES
    FIXTURES_REQUIRED wine TIMEOUT ${A_TIMEOUT}
    LABELS "wine;${A_LABELS}"
    SKIP_REGULAR_EXPRESSION "\\[  SKIPPED \\]" SKIP_RETURN_CODE 77
    ENVIRONMENT "QB2_WINEPREFIX=${QB2_WINEPREFIX};QB2_WINE_LANES=${QB2_WINE_LANES};${A_ENV}")
endfunction()

# The test cases written in the given sources (TEST and TEST_F), as Suite.Name, in
# their order. The sources are watched: a new case re-runs the configuration.
function(qb2_gtest_cases out)
  set(id "[A-Za-z0-9_]+")
  set(ws "[ \t\r\n]*")
  set(pattern "TEST(_F)?\\(${ws}(${id})${ws},${ws}(${id})${ws}\\)")
  set(cases)
  foreach(src ${ARGN})
    if(NOT src MATCHES "\\.(cpp|cc)$")
      continue()
    endif()
    get_filename_component(path ${src} ABSOLUTE)
    file(READ ${path} text)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${path})
    string(REGEX MATCHALL "${pattern}" hits "${text}")
    foreach(hit ${hits})
      string(REGEX REPLACE "${pattern}" "\\2.\\3" case "${hit}")
      if(NOT case MATCHES "(^|\\.)DISABLED_")  # GoogleTest runs these only on request
        list(APPEND cases ${case})
      endif()
    endforeach()
  endforeach()
  set(${out} ${cases} PARENT_SCOPE)
endfunction()

# qb2_add_gtest(<target> SOURCES ... [LIBS ...] [LABELS ...] [TIMEOUT s] [TIMING]
#               [NO_THREADS] [SUITES ...] [CASES ...] [ENV ...] [FIXTURE name] [LOCK name])
# Native: one ctest test per test case, found by running the executable. TIMING
# marks tests that assert time-outs over a pty (with wide margins): they carry the
# label pty_timing, so `ctest -L pty_timing` runs them alone. NO_THREADS marks a
# test program that starts no thread: the TSan tree, which finds races between
# threads, leaves it out, and the ASan tree checks that it links no thread start.
# Windows: the executable runs under Wine through the emulator wrapper, one ctest
# test per test case, so that long cases (the main job's ten-second watchdog)
# spread over the Wine lanes. The cases are read from the sources (those of the
# suites in SUITES, when given), and a test <target>.all_cases checks that they are
# every case the executable has. CASES instead names the cases to run, a chosen
# few (the x86 tree runs a few of the Windows tests). FIXTURE names one more ctest
# fixture every case needs (beside the Windows tests' Wine), LOCK a resource the
# cases take one at a time.
function(qb2_add_gtest target)
  cmake_parse_arguments(A "TIMING;NO_THREADS" "TIMEOUT;FIXTURE;LOCK" "SOURCES;LIBS;LABELS;SUITES;CASES;ENV" ${ARGN})
  if(A_UNPARSED_ARGUMENTS)  # a misspelt keyword would otherwise be dropped unseen
    message(FATAL_ERROR "qb2_add_gtest(${target}): unknown arguments ${A_UNPARSED_ARGUMENTS}")
  endif()
  if(A_NO_THREADS AND QB2_SANITIZE STREQUAL "thread")
    return()
  endif()
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
    set(cases ${A_CASES})
    if(NOT A_CASES)
      qb2_gtest_cases(found ${A_SOURCES})
      foreach(case ${found})
        string(REGEX REPLACE "\\..*" "" suite ${case})
        if(NOT A_SUITES OR suite IN_LIST A_SUITES)
          list(APPEND cases ${case})
        endif()
      endforeach()
      if(NOT cases)
        message(FATAL_ERROR "qb2_add_gtest(${target}): no TEST or TEST_F of the suites ${A_SUITES} in its sources")
      endif()
      # Every case of the executable is one of these: none is left out unseen.
      string(REPLACE ";" "\n" listed "${cases}")
      file(GENERATE OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/${target}.cases CONTENT "${listed}\n")
      add_test(NAME ${target}.all_cases
        COMMAND ${CMAKE_COMMAND} "-DEMULATOR=${CMAKE_CROSSCOMPILING_EMULATOR}" -DEXE=$<TARGET_FILE:${target}>
                -DCASES=${CMAKE_CURRENT_BINARY_DIR}/${target}.cases -P ${CMAKE_SOURCE_DIR}/cmake/gtest_all_cases.cmake)
      qb2_wine_test(${target}.all_cases ENV ${A_ENV})
    endif()
    foreach(case ${cases})
      add_test(NAME ${target}.${case} COMMAND ${target} --gtest_filter=${case})
      qb2_wine_test(${target}.${case} TIMEOUT ${A_TIMEOUT} LABELS ${A_LABELS} ENV ${A_ENV})
      # A name that matches no case would run nothing and pass.
      set_tests_properties(${target}.${case} PROPERTIES FAIL_REGULAR_EXPRESSION "\\[==========\\] 0 tests")
      if(A_FIXTURE)
        set_property(TEST ${target}.${case} APPEND PROPERTY FIXTURES_REQUIRED ${A_FIXTURE})
      endif()
      if(A_LOCK)
        set_property(TEST ${target}.${case} PROPERTY RESOURCE_LOCK ${A_LOCK})
      endif()
    endforeach()
  else()
    set(props TIMEOUT ${A_TIMEOUT})
    if(A_TIMING)
      list(APPEND props LABELS pty_timing)
    endif()
    if(A_ENV)
      list(APPEND props ENVIRONMENT "${A_ENV}")
    endif()
    if(A_FIXTURE)
      list(APPEND props FIXTURES_REQUIRED ${A_FIXTURE})
    endif()
    if(A_LOCK)
      list(APPEND props RESOURCE_LOCK ${A_LOCK})
    endif()
    gtest_discover_tests(${target} DISCOVERY_TIMEOUT 60 PROPERTIES ${props})
    if(A_NO_THREADS)
      # No call to a thread start in the code it kept. (Its symbol table may still
      # name one: a library's unity object brings its neighbours' references along.)
      add_test(NAME ${target}.starts_no_thread COMMAND bash -c
        "code=$('${CMAKE_OBJDUMP}' -d -C --no-show-raw-insn \"$0\") && ! grep -E 'call.*<(pthread_create|std::thread::_M_start_thread[^>]*)@plt>' <<<\"$code\""
        $<TARGET_FILE:${target}>)
    endif()
  endif()
endfunction()
