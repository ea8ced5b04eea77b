# The Apple branch of the build: Objective-C++ for the apple backends, and,
# when the SDK folder is a partial one (the cross-build from Linux), what it
# lacks for a full compile and link.
enable_language(OBJCXX)

set(VELKO_MACOS_CHECK_DIR ${PROJECT_SOURCE_DIR}/packaging/macos/link-check)

# A framework that the SDK folder lacks comes from the stand-ins of the link
# check, which declare only what our code uses; a real SDK has them all.
if(NOT EXISTS ${CMAKE_OSX_SYSROOT}/System/Library/Frameworks/UserNotifications.framework)
  message(STATUS "SDK without UserNotifications: using the link check's stand-in")
  add_compile_options(-F${VELKO_MACOS_CHECK_DIR}/frameworks)
  add_link_options(-F${VELKO_MACOS_CHECK_DIR}/frameworks)
endif()

# Without libSystem and libc++ stubs nothing links. They are made from the
# reviewed list of runtime symbols, so that a symbol neither on that list nor
# exported by a linked framework still fails the link with its name.
if(NOT EXISTS ${CMAKE_OSX_SYSROOT}/usr/lib/libSystem.tbd)
  set(list_file ${VELKO_MACOS_CHECK_DIR}/runtime-symbols.txt)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${list_file})
  file(STRINGS ${list_file} lines)
  set(library "")
  foreach(line IN LISTS lines)
    string(STRIP "${line}" line)
    if(line MATCHES "^#" OR line STREQUAL "")
      continue()
    elseif(line MATCHES "^\\[(.+)\\]$")
      set(library ${CMAKE_MATCH_1})
      list(APPEND libraries ${library})
    elseif(library STREQUAL "")
      message(FATAL_ERROR "${list_file}: symbol ${line} before any [library] line")
    else()
      list(APPEND symbols_${library} "'${line}'")
    endif()
  endforeach()
  set(stubs ${CMAKE_BINARY_DIR}/runtime-stubs)
  set(install_name_libSystem /usr/lib/libSystem.B.dylib)
  set(install_name_libc++ /usr/lib/libc++.1.dylib)
  foreach(library IN LISTS libraries)
    if(NOT DEFINED install_name_${library})
      message(FATAL_ERROR "${list_file}: unknown library [${library}]")
    endif()
    list(JOIN symbols_${library} ", " exported)
    file(WRITE ${stubs}/${library}.tbd.in
      "--- !tapi-tbd\ntbd-version: 4\ntargets: [ x86_64-macos, arm64-macos ]\n"
      "install-name: '${install_name_${library}}'\nexports:\n"
      "  - targets: [ x86_64-macos, arm64-macos ]\n    symbols: [ ${exported} ]\n...\n")
    configure_file(${stubs}/${library}.tbd.in ${stubs}/${library}.tbd COPYONLY)
    list(APPEND VELKO_RUNTIME_STUBS ${stubs}/${library}.tbd)
  endforeach()
  add_link_options(-L${stubs})
endif()

# The SDK folder keeps each framework's stub at its top and under
# Versions/Current only, while frameworks re-export one another by install
# name (Versions/A/...). A second library root maps those names onto the
# stubs, so that the linker follows re-exports as it would in a full SDK.
file(GLOB framework_stubs ${CMAKE_OSX_SYSROOT}/System/Library/Frameworks/*.framework/*.tbd)
set(install_names ${CMAKE_BINARY_DIR}/sdk-install-names)
foreach(stub IN LISTS framework_stubs)
  file(STRINGS ${stub} install_name REGEX "^install-name:" LIMIT_COUNT 1)
  if(install_name MATCHES "'(/[^']+)'" AND NOT EXISTS ${CMAKE_OSX_SYSROOT}${CMAKE_MATCH_1}.tbd
     AND NOT EXISTS ${CMAKE_OSX_SYSROOT}${CMAKE_MATCH_1})
    get_filename_component(folder ${install_names}${CMAKE_MATCH_1} DIRECTORY)
    file(MAKE_DIRECTORY ${folder})
    file(CREATE_LINK ${stub} ${install_names}${CMAKE_MATCH_1}.tbd SYMBOLIC)
    set(velko_install_name_root ON)
  endif()
endforeach()
if(velko_install_name_root)
  add_link_options(-Wl,-syslibroot,${CMAKE_OSX_SYSROOT} -Wl,-syslibroot,${install_names})
endif()

# In the cross-build a linker warning is as much a fault as a compiler one.
if(VELKO_WERROR AND CMAKE_CROSSCOMPILING AND NOT CMAKE_HOST_APPLE)
  add_link_options(-Wl,-fatal_warnings)
endif()

# Debian's header-only packages serve the cross-build as they are, through a
# folder that holds nothing but them: the host's /usr/include must never be
# searched before the SDK's.
# VELKO_HOST_HEADERS lists, relative to /usr/include, what is taken so.
set(VELKO_HOST_HEADERS nlohmann)
if(CMAKE_CROSSCOMPILING AND NOT CMAKE_HOST_APPLE)
  set(host_headers ${CMAKE_BINARY_DIR}/host-headers)
  file(MAKE_DIRECTORY ${host_headers})
  foreach(header IN LISTS VELKO_HOST_HEADERS)
    if(NOT EXISTS /usr/include/${header})
      message(FATAL_ERROR "/usr/include/${header} missing: run scripts/setup")
    endif()
    if(NOT EXISTS ${host_headers}/${header})
      file(CREATE_LINK /usr/include/${header} ${host_headers}/${header} SYMBOLIC)
    endif()
  endforeach()
  add_library(velko_host_headers INTERFACE IMPORTED)
  set_target_properties(velko_host_headers PROPERTIES INTERFACE_INCLUDE_DIRECTORIES ${host_headers})
  add_library(nlohmann_json::nlohmann_json ALIAS velko_host_headers)
endif()
