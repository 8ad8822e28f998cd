# Debian packages with CPack: `cpack` in a build tree (or the target `package`)
# writes vorlix_<version>-<release>_<arch>.deb.
#
# The package always installs below /usr, whatever prefix the build tree was
# configured with: the install rules (cmake/Install.cmake) work out the
# prefix-dependent paths when they run. Build packages from a Release tree;
# the files are stripped with the toolchain's strip, so a cross build gives a
# package for its own architecture (mipsel for cmake/mipsel-linux-gnu.cmake).

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vorlix)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "the vorlix developers")
set(CPACK_PACKAGE_CONTACT "vorlix maintainers <maintainers@vorlix.invalid>")
# BSD-2-Clause: LICENSE for the package generators that take a licence file;
# a Debian package carries it in /usr/share/doc/vorlix/copyright.
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Mode S receiver for 1090 MHz I/Q captures")
# The extended description; cpack puts the summary in front of it.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "A service for small receiver boards: it reads 8-bit I/Q samples recorded at
2.0 to 3.2 MS/s, demodulates Mode S downlink frames with integer-only code,
checks their parity, time-stamps them and forwards the extended squitters
(DF17, DF18) to a collecting proxy over TCP in the binary level-2 protocol.
It answers the proxy's time-synchronisation requests and logs periodic
decoder statistics.
.
The package holds the service with a systemd unit (idle until an input and a
destination are set in /etc/default/vorlix) and companion programs: a
recorder of time-stamped captures from an RTL-SDR dongle or standard input
(with a systemd unit that feeds the service through a named pipe), a capture
synthesizer, a scorer of the squitters decoded from a synthesized capture
against its ground truth, a level-2 stream dumper and a test proxy.")
set(CPACK_DEBIAN_PACKAGE_SECTION hamradio)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)

# Install with DESTDIR into the staging tree under the prefix /usr, so that
# the defaults file lands in /etc/default.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS OFF)

# Maintainer scripts and the conffile list; strict permissions give the
# scripts 0755 and the lists 0644 whatever the checkout's modes are.
file(WRITE ${CMAKE_BINARY_DIR}/packaging/conffiles "/etc/default/vorlix\n")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_SOURCE_DIR}/packaging/postinst
    ${CMAKE_SOURCE_DIR}/packaging/prerm
    ${CMAKE_SOURCE_DIR}/packaging/postrm
    ${CMAKE_BINARY_DIR}/packaging/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)

# Architecture and dependencies: the C and C++ run-time, and librtlsdr0 when
# the recorder is built with it. On the host
# dpkg-shlibdeps works them out from the binaries. For a cross build it
# cannot; cmake/DebDepends.cmake derives them when cpack runs, from the
# libraries the built programs need and the C library's symbol versions.
set(VORLIX_DEB_ARCH "" CACHE STRING "Debian architecture of the package (empty: detect)")
if(VORLIX_DEB_ARCH)
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${VORLIX_DEB_ARCH})
elseif(CMAKE_CROSSCOMPILING)
  if(CMAKE_SYSTEM_PROCESSOR STREQUAL "mipsel")
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE mipsel)
  else()
    message(WARNING "No Debian architecture known for ${CMAKE_SYSTEM_PROCESSOR}: set VORLIX_DEB_ARCH")
  endif()
else()
  find_program(VORLIX_DPKG dpkg)
  if(VORLIX_DPKG)
    execute_process(COMMAND ${VORLIX_DPKG} --print-architecture
                    OUTPUT_VARIABLE CPACK_DEBIAN_PACKAGE_ARCHITECTURE
                    OUTPUT_STRIP_TRAILING_WHITESPACE)
  endif()
endif()

find_program(VORLIX_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(NOT CMAKE_CROSSCOMPILING AND VORLIX_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  set(CPACK_VORLIX_CROSS_DEPENDS ON)
  set(CPACK_VORLIX_OBJDUMP ${CMAKE_OBJDUMP})
  set(CPACK_VORLIX_BINARIES "")
  # The recorder's dongle library: the version it was built against, at least.
  if(VORLIX_HAVE_RTLSDR)
    file(GLOB _vorlix_rtlsdr_pc ${VORLIX_RTLSDR_ROOT}/usr/lib/*/pkgconfig/librtlsdr.pc)
    set(_vorlix_rtlsdr_version 0.6.0)
    if(_vorlix_rtlsdr_pc)
      list(GET _vorlix_rtlsdr_pc 0 _vorlix_rtlsdr_pc)
      file(STRINGS ${_vorlix_rtlsdr_pc} _vorlix_rtlsdr_line REGEX "^Version: ")
      string(REPLACE "Version: " "" _vorlix_rtlsdr_version "${_vorlix_rtlsdr_line}")
    endif()
    set(CPACK_VORLIX_RTLSDR_DEPENDS "librtlsdr0 (>= ${_vorlix_rtlsdr_version})")
  endif()
  foreach(program vorlix ${VORLIX_TOOLS})
    list(APPEND CPACK_VORLIX_BINARIES ${CMAKE_BINARY_DIR}/${program})
  endforeach()
  set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_SOURCE_DIR}/cmake/DebDepends.cmake)
endif()

include(CPack)

# The package as a whole: built into a temporary directory, its metadata and
# contents checked, extracted and run. Needs dpkg-deb; skipped without it and
# in sanitizer builds, whose binaries depend on the sanitizer run-times.
set(_vorlix_pkg_skip 0)
if(VORLIX_SANITIZE)
  set(_vorlix_pkg_skip 1)
endif()
string(REPLACE ";" " " _vorlix_tools_text "${VORLIX_TOOLS}")
add_test(NAME package_contents
         COMMAND bash ${CMAKE_SOURCE_DIR}/tests/package_check.sh
                 ${CMAKE_BINARY_DIR} "${CPACK_DEBIAN_PACKAGE_ARCHITECTURE}"
                 "${_vorlix_tools_text}" "${VORLIX_EMULATOR_TEXT}" ${_vorlix_pkg_skip}
                 ${VORLIX_HAVE_RTLSDR})
set_tests_properties(package_contents PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 300 LABELS package)
