# A short libFuzzer run over a copy of the seed corpus, as a ctest test: fails on
# any finding (crash, sanitizer report, broken invariant, time-out).
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK}/corpus ${WORK}/artifacts)
file(GLOB seeds ${CORPUS}/*)
file(COPY ${seeds} DESTINATION ${WORK}/corpus)
execute_process(
  COMMAND ${FUZZER} -max_total_time=${SECONDS} -print_final_stats=1 -artifact_prefix=${WORK}/artifacts/
          ${OPTIONS} ${WORK}/corpus
  RESULT_VARIABLE exit)
if(NOT exit EQUAL 0)
  file(GLOB found ${WORK}/artifacts/*)
  message(FATAL_ERROR "${FUZZER} exited with ${exit}; inputs: ${found}")
endif()
