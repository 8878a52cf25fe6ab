# kvr_add_gtest(<name> SOURCES <files...> LIBS <targets...> [LABELS <labels...>] [COST <n>])
# One test executable per module; cases are discovered by CTest when the test
# runs, so adding a case needs no CMake change. Each case gets its own process,
# so tests stay parallel-safe. Every test links the shared test support
# (testsupport/). COST orders a fresh tree's first run (CTest then starts the
# costliest first; later runs use the measured times).
function(kvr_add_gtest name)
  cmake_parse_arguments(ARG "" "COST" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} kvr_testsupport GTest::gtest GTest::gmock GTest::gtest_main kvr_warnings)
  target_compile_definitions(${name} PRIVATE
    KVR_BUNDLE_DIR="${KVR_BUNDLE_DIR}"
    KVR_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
  set(labels unit)
  if(ARG_LABELS)
    set(labels ${ARG_LABELS})
  endif()
  set(cost 0)
  if(ARG_COST)
    set(cost ${ARG_COST})
  endif()
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST
    PROPERTIES LABELS "${labels}" ENVIRONMENT "QT_QPA_PLATFORM=offscreen" COST ${cost})
endfunction()
