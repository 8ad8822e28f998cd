# Run by cpack (CPACK_PROJECT_CONFIG_FILE) for a cross build, where
# dpkg-shlibdeps cannot work: the package's Depends from the libraries that
# the built programs need (NEEDED entries) and, for the C library, the newest
# symbol version they use, read with the toolchain's objdump.

if(NOT CPACK_VORLIX_CROSS_DEPENDS OR NOT CPACK_GENERATOR STREQUAL "DEB")
  return()
endif()

set(_libc_minor 0)
set(_need_stdcxx FALSE)
set(_need_gcc_s FALSE)
foreach(binary IN LISTS CPACK_VORLIX_BINARIES)
  if(NOT EXISTS "${binary}")
    message(FATAL_ERROR "${binary} is not built: build the project before packaging")
  endif()
  execute_process(COMMAND "${CPACK_VORLIX_OBJDUMP}" -p -T "${binary}"
                  OUTPUT_VARIABLE _dump RESULT_VARIABLE _rc)
  if(NOT _rc EQUAL 0)
    message(FATAL_ERROR "${CPACK_VORLIX_OBJDUMP} cannot read ${binary}")
  endif()
  string(REGEX MATCHALL "NEEDED +[^\n]+" _needed "${_dump}")
  foreach(entry IN LISTS _needed)
    string(REGEX REPLACE "NEEDED +" "" lib "${entry}")
    if(lib MATCHES "^(lib(c|m)\\.so\\.6|ld\\.so\\.1|ld-linux.*\\.so\\.[0-9])$")  # the C library and its loader
    elseif(lib STREQUAL "libstdc++.so.6")
      set(_need_stdcxx TRUE)
    elseif(lib STREQUAL "libgcc_s.so.1")
      set(_need_gcc_s TRUE)
    else()
      message(FATAL_ERROR "${binary} needs ${lib}, which the package does not depend on")
    endif()
  endforeach()
  string(REGEX MATCHALL "GLIBC_2\\.[0-9]+" _versions "${_dump}")
  foreach(v IN LISTS _versions)
    string(REGEX REPLACE "GLIBC_2\\." "" minor "${v}")
    if(minor GREATER _libc_minor)
      set(_libc_minor ${minor})
    endif()
  endforeach()
endforeach()

set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= 2.${_libc_minor})")
if(_need_gcc_s)
  string(APPEND CPACK_DEBIAN_PACKAGE_DEPENDS ", libgcc-s1 (>= 3.0)")
endif()
if(_need_stdcxx)
  # The toolchain's own C++ run-time (Debian 12: gcc 12).
  string(APPEND CPACK_DEBIAN_PACKAGE_DEPENDS ", libstdc++6 (>= 12)")
endif()
message(STATUS "Depends: ${CPACK_DEBIAN_PACKAGE_DEPENDS}")
