# Hardening flags as Debian builds its packages: dpkg-buildflags with every
# hardening feature (stack protector, fortified functions, format checks,
# read-only relocations and immediate binding), asked for the architecture the
# build targets (DEB_HOST_ARCH), so the arm64 cross build gets arm64's flags.
# Optimisation and debug flags stay the build type's; _FORTIFY_SOURCE is
# added only to optimised configurations (it needs optimisation) and not to
# sanitizer builds (the sanitizers intercept the unfortified functions).
option(MORVANE_HARDENING "Compile and link with dpkg-buildflags' hardening flags" ON)
if(NOT MORVANE_HARDENING OR MORVANE_BUILD_FUZZ)
  return()
endif()

find_program(MORVANE_DPKG_BUILDFLAGS dpkg-buildflags)
if(NOT MORVANE_DPKG_BUILDFLAGS)
  message(WARNING "dpkg-buildflags not found: building without hardening flags (MORVANE_HARDENING=OFF to silence)")
  return()
endif()

# The Debian architecture of the target; a native build of another
# architecture asks dpkg for the host's.
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|arm64)$")
  set(MORVANE_DEB_HOST_ARCH arm64)
elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$")
  set(MORVANE_DEB_HOST_ARCH amd64)
elseif(NOT CMAKE_CROSSCOMPILING)
  execute_process(COMMAND dpkg --print-architecture OUTPUT_VARIABLE MORVANE_DEB_HOST_ARCH
                  OUTPUT_STRIP_TRAILING_WHITESPACE)
endif()
if(NOT MORVANE_DEB_HOST_ARCH)
  message(FATAL_ERROR "no Debian architecture known for ${CMAKE_SYSTEM_PROCESSOR} (MORVANE_HARDENING=OFF to build without)")
endif()

function(morvane_buildflags variable out)
  execute_process(
    COMMAND ${CMAKE_COMMAND} -E env DEB_HOST_ARCH=${MORVANE_DEB_HOST_ARCH} DEB_BUILD_MAINT_OPTIONS=hardening=+all
            ${MORVANE_DPKG_BUILDFLAGS} --get ${variable}
    OUTPUT_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "dpkg-buildflags --get ${variable} failed (${status})")
  endif()
  separate_arguments(flags UNIX_COMMAND "${flags}")
  # The build type chooses optimisation and debug information; source paths
  # stay as they are.
  list(FILTER flags EXCLUDE REGEX "^(-g[0-9]*|-O[0-9s]?|-f(file|debug|macro)-prefix-map=.*)$")
  set(${out} "${flags}" PARENT_SCOPE)
endfunction()

morvane_buildflags(CPPFLAGS MORVANE_HARDENING_CPPFLAGS)
morvane_buildflags(CFLAGS MORVANE_HARDENING_CFLAGS)
morvane_buildflags(CXXFLAGS MORVANE_HARDENING_CXXFLAGS)
morvane_buildflags(LDFLAGS MORVANE_HARDENING_LDFLAGS)

set(MORVANE_FORTIFY_FLAGS ${MORVANE_HARDENING_CPPFLAGS})
list(FILTER MORVANE_FORTIFY_FLAGS INCLUDE REGEX "^-D_FORTIFY_SOURCE")
list(FILTER MORVANE_HARDENING_CPPFLAGS EXCLUDE REGEX "^-D_FORTIFY_SOURCE")
if(MORVANE_SANITIZE)
  set(MORVANE_FORTIFY_FLAGS "")
endif()

foreach(flag IN LISTS MORVANE_HARDENING_CPPFLAGS)
  add_compile_options($<$<COMPILE_LANGUAGE:C,CXX>:${flag}>)
endforeach()
foreach(flag IN LISTS MORVANE_FORTIFY_FLAGS)
  add_compile_options($<$<AND:$<COMPILE_LANGUAGE:C,CXX>,$<CONFIG:Release,RelWithDebInfo,MinSizeRel>>:${flag}>)
endforeach()
foreach(flag IN LISTS MORVANE_HARDENING_CFLAGS)
  add_compile_options($<$<COMPILE_LANGUAGE:C>:${flag}>)
endforeach()
foreach(flag IN LISTS MORVANE_HARDENING_CXXFLAGS)
  add_compile_options($<$<COMPILE_LANGUAGE:CXX>:${flag}>)
endforeach()
add_link_options(${MORVANE_HARDENING_LDFLAGS})
message(STATUS "Hardening (dpkg-buildflags, ${MORVANE_DEB_HOST_ARCH}): ${MORVANE_HARDENING_CPPFLAGS} "
               "${MORVANE_FORTIFY_FLAGS} ${MORVANE_HARDENING_CXXFLAGS} ${MORVANE_HARDENING_LDFLAGS}")
