# kvr_add_gtest(<name> SOURCES <files...> LIBS <targets...> [LABELS <labels...>] [COST <n>]
#               [SUITES_IN_ONE_PROCESS <suites...>])
# One test executable per module; cases are discovered by CTest when the test
# runs, so adding a case needs no CMake change. Each case gets its own process,
# so tests stay parallel-safe. Every test sees the headers of the shared test
# support (testsupport/) that link nothing; one that needs more names
# kvr_testsupport_base or kvr_testsupport in LIBS. COST orders a fresh tree's first run (CTest then starts the
# costliest first; later runs use the measured times). A suite named in
# SUITES_IN_ONE_PROCESS is one CTest test instead, all its cases in one
# process (for suites whose cases share costly work set up once, such as one
# run of an external program).
# Tests that run the program's windows in their own process add this source:
# it tells LeakSanitizer about an allocation Qt keeps past the leak check.
set(KVR_QT_LEAK_SUPPRESSIONS ${PROJECT_SOURCE_DIR}/testsupport/QtLeakSuppressions.cpp)

function(kvr_add_gtest name)
  cmake_parse_arguments(ARG "" "COST" "SOURCES;LIBS;LABELS;SUITES_IN_ONE_PROCESS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} kvr_testsupport_util GTest::gtest GTest::gmock GTest::gtest_main kvr_warnings)
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
  set(filter "*")
  foreach(suite ${ARG_SUITES_IN_ONE_PROCESS})
    add_test(NAME ${suite} COMMAND ${name} --gtest_filter=${suite}.*)
    set_tests_properties(${suite} PROPERTIES LABELS "${labels}" ENVIRONMENT "QT_QPA_PLATFORM=offscreen" COST ${cost})
    if(filter STREQUAL "*")
      set(filter "*-${suite}.*")
    else()
      set(filter "${filter}:${suite}.*")
    endif()
  endforeach()
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST TEST_FILTER "${filter}"
    PROPERTIES LABELS "${labels}" ENVIRONMENT "QT_QPA_PLATFORM=offscreen" COST ${cost})
endfunction()

# kvr_add_window_test(<test name> <target> SOURCES <files...> LIBS <targets...>
#                     [DEPENDS <targets...>] [TIMEOUT <s>])
# A Qt Test program that runs windows offscreen in its own process, against
# the bundle's libraries (built first) and the shared test support.
function(kvr_add_window_test test target)
  cmake_parse_arguments(ARG "" "TIMEOUT" "SOURCES;LIBS;DEPENDS" ${ARGN})
  add_executable(${target} ${ARG_SOURCES} ${KVR_QT_LEAK_SUPPRESSIONS})
  set_target_properties(${target} PROPERTIES AUTOMOC ON)
  target_link_libraries(${target} PRIVATE ${ARG_LIBS} kvr_testsupport Qt6::Test kvr_warnings)
  target_compile_definitions(${target} PRIVATE KVR_BUNDLE_DIR="${KVR_BUNDLE_DIR}")
  add_dependencies(${target} zarnisupp zarni_utils ${ARG_DEPENDS})
  add_test(NAME ${test} COMMAND ${target})
  set_tests_properties(${test} PROPERTIES LABELS "ui" ENVIRONMENT "QT_QPA_PLATFORM=offscreen")
  if(ARG_TIMEOUT)
    set_tests_properties(${test} PROPERTIES TIMEOUT ${ARG_TIMEOUT})
  endif()
endfunction()
