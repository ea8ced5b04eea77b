# Project-wide settings applied to every target of our own code.
function(velko_defaults target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
  target_compile_features(${target} PUBLIC cxx_std_20)
endfunction()

# A GoogleTest executable registered with CTest. LABELS picks the CI stages
# that run it: "unit" (in-process logic), "process" (whole programs in a
# child), "tsan" (threaded paths also run under ThreadSanitizer), "e2e".
# The executables of the tests labelled "tsan", so that the ThreadSanitizer
# build compiles only what it runs.
if(NOT TARGET velko_tsan_tests)
  add_custom_target(velko_tsan_tests)
endif()

function(velko_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  velko_defaults(${name})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main)
  add_test(NAME ${name} COMMAND ${name})
  set_tests_properties(${name} PROPERTIES LABELS "${T_LABELS}" TIMEOUT 300)
  if("tsan" IN_LIST T_LABELS)
    add_dependencies(velko_tsan_tests ${name})
  endif()
endfunction()
