# Toolchain for the Apple build of this project. On Linux it cross-builds
# with clang-19, ld64.lld and the LLVM Mach-O tools against the macOS SDK
# folder named by VELKO_MACOS_SDK; on a Mac it takes Xcode's SDK (or
# VELKO_MACOS_SDK when set) and the Xcode toolchain.
set(CMAKE_SYSTEM_NAME Darwin)
set(CMAKE_OSX_ARCHITECTURES "arm64;x86_64" CACHE STRING "")
set(CMAKE_OSX_DEPLOYMENT_TARGET 14.4 CACHE STRING "")

if(DEFINED ENV{VELKO_MACOS_SDK} AND NOT "$ENV{VELKO_MACOS_SDK}" STREQUAL "")
  # A relative folder is taken from the source tree, as CI names it.
  get_filename_component(velko_sdk "$ENV{VELKO_MACOS_SDK}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_LIST_DIR}/..")
elseif(CMAKE_OSX_SYSROOT)
  # A build tree that has been configured keeps its SDK.
  set(velko_sdk "${CMAKE_OSX_SYSROOT}")
elseif(CMAKE_HOST_APPLE)
  execute_process(COMMAND xcrun --sdk macosx --show-sdk-path OUTPUT_VARIABLE velko_sdk
                  OUTPUT_STRIP_TRAILING_WHITESPACE)
endif()
if(NOT velko_sdk OR NOT EXISTS "${velko_sdk}/usr/include")
  message(FATAL_ERROR "No macOS SDK: set VELKO_MACOS_SDK to an SDK folder (MacOSX14.2.sdk, say)")
endif()
set(CMAKE_OSX_SYSROOT "${velko_sdk}" CACHE PATH "" FORCE)

if(CMAKE_HOST_APPLE)
  return()
endif()

find_program(VELKO_CLANG NAMES clang-19 REQUIRED)
find_program(VELKO_CLANGXX NAMES clang++-19 REQUIRED)
set(CMAKE_C_COMPILER ${VELKO_CLANG})
set(CMAKE_CXX_COMPILER ${VELKO_CLANGXX})
set(CMAKE_OBJCXX_COMPILER ${VELKO_CLANGXX})
foreach(lang C CXX OBJCXX)
  set(CMAKE_${lang}_COMPILER_TARGET arm64-apple-macos${CMAKE_OSX_DEPLOYMENT_TARGET})
endforeach()

# clang makes universal objects by compiling once per architecture and
# joining the results with "lipo", which LLVM ships as llvm-lipo.
find_program(VELKO_LLVM_LIPO NAMES llvm-lipo-19 llvm-lipo REQUIRED)
find_program(VELKO_LLVM_LIBTOOL NAMES llvm-libtool-darwin-19 llvm-libtool-darwin REQUIRED)
find_program(CMAKE_NM NAMES llvm-nm-19 llvm-nm)
find_program(CMAKE_OTOOL NAMES llvm-otool-19 llvm-otool)
find_program(CMAKE_INSTALL_NAME_TOOL NAMES llvm-install-name-tool-19 llvm-install-name-tool)
set(velko_driver_tools "${CMAKE_BINARY_DIR}/velko-driver-tools")
if(NOT EXISTS "${velko_driver_tools}/lipo")
  file(MAKE_DIRECTORY "${velko_driver_tools}")
  file(CREATE_LINK "${VELKO_LLVM_LIPO}" "${velko_driver_tools}/lipo" SYMBOLIC)
endif()
foreach(lang C CXX OBJCXX)
  set(CMAKE_${lang}_FLAGS_INIT "-B${velko_driver_tools}")
  # Static libraries of universal objects are universal archives, which
  # only the Darwin libtool writes.
  set(CMAKE_${lang}_CREATE_STATIC_LIBRARY "${VELKO_LLVM_LIBTOOL} -static -o <TARGET> <OBJECTS>")
endforeach()
foreach(kind EXE SHARED MODULE)
  set(CMAKE_${kind}_LINKER_FLAGS_INIT "-fuse-ld=lld")
endforeach()

# The SDK's stubs cannot be run, so checks that need a run are impossible;
# compile checks produce a library instead of a program.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
set(CMAKE_FIND_ROOT_PATH "${velko_sdk}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
