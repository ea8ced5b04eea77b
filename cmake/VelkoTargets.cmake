# Warnings are errors in our presets and in CI, where the compiler is known;
# another compiler (Debian's GCC, a newer AppleClang) may warn where ours
# does not, and that must not stop a plain build.
option(VELKO_WERROR "Treat compiler warnings as errors" OFF)

# Project-wide settings applied to every target of our own code.
function(velko_defaults target)
  target_compile_options(${target} PRIVATE -Wall -Wextra)
  if(VELKO_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
    # GCC 12 reports overlaps inside libstdc++'s own string code at -O2
    # (GCC bug 105651); ours are not involved.
    target_compile_options(${target} PRIVATE -Wno-restrict)
  endif()
  if(APPLE)
    # A call to an API newer than the deployment target would crash on the
    # oldest supported system: never a mere warning.
    target_compile_options(${target} PRIVATE -Werror=unguarded-availability-new)
  endif()
  if(VELKO_RUNTIME_STUBS)
    # Programs and modules link again when the runtime symbols allowed change.
    set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${VELKO_RUNTIME_STUBS})
  endif()
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
  if(APPLE)
    # A package manager's GoogleTest is built for this machine alone; the
    # tests run here, so they need no other architecture.
    set_target_properties(${name} PROPERTIES OSX_ARCHITECTURES ${CMAKE_HOST_SYSTEM_PROCESSOR})
  endif()
  add_test(NAME ${name} COMMAND ${name})
  set_tests_properties(${name} PROPERTIES LABELS "${T_LABELS}" TIMEOUT 300)
  if("tsan" IN_LIST T_LABELS)
    add_dependencies(velko_tsan_tests ${name})
  endif()
endfunction()

# Tells `target` where programs of this build are: each MACRO PROGRAM pair
# defines MACRO as the path of the built PROGRAM, which is then built before
# `target`.
#   velko_program_paths(recorder_e2e_test VELKO_RECORDER velko-recorder)
function(velko_program_paths target)
  set(pairs ${ARGN})
  list(LENGTH pairs count)
  math(EXPR odd "${count} % 2")
  if(count EQUAL 0 OR odd)
    message(FATAL_ERROR "velko_program_paths(${target}): give MACRO PROGRAM pairs")
  endif()
  while(pairs)
    list(POP_FRONT pairs macro program)
    target_compile_definitions(${target} PRIVATE ${macro}="$<TARGET_FILE:${program}>")
    add_dependencies(${target} ${program})
  endwhile()
endfunction()

# A libFuzzer target (clang) with the "fuzz" test that runs it briefly with a
# fixed seed, in the sanitizer build.
function(velko_fuzzer name)
  cmake_parse_arguments(F "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${F_SOURCES})
  velko_defaults(${name})
  target_compile_options(${name} PRIVATE -fsanitize=fuzzer)
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PRIVATE ${F_LIBS})
  add_test(NAME ${name} COMMAND ${name} -max_total_time=20 -seed=1)
  set_tests_properties(${name} PROPERTIES LABELS "fuzz")
endfunction()

# Signing on a Mac: each deliverable is signed for the hardened runtime with
# the host application's entitlements as soon as it is built. Ad hoc ("-")
# unless a signing identity is named.
option(VELKO_CODESIGN "Sign the deliverables after building them (macOS)" OFF)
if(DEFINED ENV{VELKO_CODESIGN_IDENTITY} AND NOT "$ENV{VELKO_CODESIGN_IDENTITY}" STREQUAL "")
  set(velko_identity_default "$ENV{VELKO_CODESIGN_IDENTITY}")
else()
  set(velko_identity_default "-")
endif()
set(VELKO_CODESIGN_IDENTITY "${velko_identity_default}" CACHE STRING "codesign identity; - signs ad hoc")
if(APPLE AND VELKO_CODESIGN)
  find_program(VELKO_CODESIGN_TOOL codesign REQUIRED)
endif()

# One of the four pieces that ship: velko-recorder, velko-input-sentry,
# velko-pointer-sentry, velko-notify-prefs.
function(velko_deliverable target)
  if(APPLE AND VELKO_CODESIGN)
    set(entitlements ${PROJECT_SOURCE_DIR}/packaging/macos/entitlements.plist)
    add_custom_command(TARGET ${target} POST_BUILD
      COMMAND ${VELKO_CODESIGN_TOOL} --force --options runtime --entitlements ${entitlements}
              --sign ${VELKO_CODESIGN_IDENTITY} $<TARGET_FILE:${target}>
      COMMENT "Signing ${target} for the hardened runtime"
      VERBATIM)
    set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${entitlements})
  endif()
endfunction()
