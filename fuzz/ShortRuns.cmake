# Short runs of the fuzz targets as tests of the main build. The targets are
# built beforehand in their own clang configuration (scripts/fuzz.sh
# --build-only, which scripts/test.sh runs); QUILLMAR_FUZZ_BUILD_DIR names
# that build folder. Each run starts from the committed seeds alone.
set(QUILLMAR_FUZZ_SHORT_SECONDS 5 CACHE STRING "Seconds of each fuzz target's short run")
foreach(target id3v1 id3v2 mpeg wav pipeline rewrites journal)
  add_test(NAME fuzz_short_${target}
    COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/run-target.sh --fresh ${target} ${QUILLMAR_FUZZ_SHORT_SECONDS}
            ${QUILLMAR_FUZZ_BUILD_DIR} ${CMAKE_BINARY_DIR}/fuzz-short/${target})
  set_tests_properties(fuzz_short_${target} PROPERTIES TIMEOUT 300 LABELS fuzz)
endforeach()
