# Install rules: the service and its companion programs, the manual page, the
# systemd unit and its defaults file, the package documentation.
#
# Everything lands below CMAKE_INSTALL_PREFIX, except the defaults file, which
# goes to <sysconfdir>/default (/etc/default for the prefix /usr). The paths
# that depend on the prefix (the defaults file, the program path inside the
# unit) are worked out when the install runs, so `cmake --install --prefix`
# and the package build (prefix /usr) get them right whatever prefix the
# build tree was configured with. DESTDIR is honoured throughout.

include(GNUInstallDirs)

set(VORLIX_SYSTEMD_UNITDIR "lib/systemd/system" CACHE STRING
    "Directory of the systemd unit, relative to the install prefix")

# Installing builds what it installs first (the programs, the compressed
# manual pages and change log: the target vorlix_dist), so that
# `cmake --install <build dir>` works after a build of some targets only, as
# the README's quick start makes; with everything built it does nothing.
install(CODE "
  message(STATUS \"Building what is installed (target vorlix_dist)\")
  execute_process(COMMAND \"${CMAKE_COMMAND}\" --build \"${CMAKE_BINARY_DIR}\" --target vorlix_dist
                  RESULT_VARIABLE _vorlix_build_result)
  if(NOT _vorlix_build_result EQUAL 0)
    message(FATAL_ERROR \"Building the target vorlix_dist in ${CMAKE_BINARY_DIR} failed: nothing installed\")
  endif()
")

install(TARGETS vorlix ${VORLIX_TOOLS} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# Debian wants compressed manual pages and change logs, compressed without a
# time stamp or file name (gzip -n) so that rebuilds give identical packages.
# Every program has its page: doc/<program>.1.
find_program(VORLIX_GZIP gzip REQUIRED)
set(VORLIX_CHANGELOG_GZ ${CMAKE_BINARY_DIR}/doc/changelog.Debian.gz)
configure_file(${CMAKE_SOURCE_DIR}/packaging/changelog.in ${CMAKE_BINARY_DIR}/doc/changelog @ONLY)
set(VORLIX_MAN_GZ "")
foreach(program vorlix ${VORLIX_TOOLS})
  set(_page ${CMAKE_SOURCE_DIR}/doc/${program}.1)
  set(_gz ${CMAKE_BINARY_DIR}/doc/${program}.1.gz)
  add_custom_command(
    OUTPUT ${_gz}
    COMMAND ${VORLIX_GZIP} -9 -n -c ${_page} > ${_gz}
    DEPENDS ${_page}
    COMMENT "Compressing the manual page of ${program}"
    VERBATIM)
  list(APPEND VORLIX_MAN_GZ ${_gz})
endforeach()
add_custom_command(
  OUTPUT ${VORLIX_CHANGELOG_GZ}
  COMMAND ${VORLIX_GZIP} -9 -n -c ${CMAKE_BINARY_DIR}/doc/changelog > ${VORLIX_CHANGELOG_GZ}
  DEPENDS ${CMAKE_BINARY_DIR}/doc/changelog
  COMMENT "Compressing the change log"
  VERBATIM)
add_custom_target(vorlix_docs ALL DEPENDS ${VORLIX_MAN_GZ} ${VORLIX_CHANGELOG_GZ})
# Everything the install rules take, without the tests and benchmarks:
# `cmake --build <dir> --target vorlix_dist` before `cmake --install` or cpack.
add_custom_target(vorlix_dist DEPENDS vorlix ${VORLIX_TOOLS} vorlix_docs)

install(FILES ${VORLIX_MAN_GZ} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${VORLIX_CHANGELOG_GZ} ${CMAKE_SOURCE_DIR}/packaging/copyright
        DESTINATION ${CMAKE_INSTALL_DOCDIR})

# The units (the service's and the recorder's) name the programs by their
# installed paths; the defaults file belongs to the system configuration
# directory of the prefix. The units are written straight into the
# destination (no intermediate file in the build tree), so installs with
# different prefixes may run side by side.
install(CODE "
  set(_vorlix_prefix \"\${CMAKE_INSTALL_PREFIX}\")
  if(_vorlix_prefix STREQUAL \"/usr\")
    set(_vorlix_sysconf \"/etc\")
  else()
    set(_vorlix_sysconf \"\${_vorlix_prefix}/${CMAKE_INSTALL_SYSCONFDIR}\")
  endif()
  set(VORLIX_PROGRAM \"\${_vorlix_prefix}/${CMAKE_INSTALL_BINDIR}/vorlix\")
  set(VORLIX_RECORD_PROGRAM \"\${_vorlix_prefix}/${CMAKE_INSTALL_BINDIR}/vorlix-record\")
  set(VORLIX_DEFAULTS \"\${_vorlix_sysconf}/default/vorlix\")
  foreach(_vorlix_unit_name vorlix vorlix-record)
    file(READ \"${CMAKE_SOURCE_DIR}/packaging/\${_vorlix_unit_name}.service.in\" _vorlix_unit)
    string(CONFIGURE \"\${_vorlix_unit}\" _vorlix_unit @ONLY)
    set(_vorlix_unit_file \"\${_vorlix_prefix}/${VORLIX_SYSTEMD_UNITDIR}/\${_vorlix_unit_name}.service\")
    message(STATUS \"Installing: \$ENV{DESTDIR}\${_vorlix_unit_file}\")
    file(WRITE \"\$ENV{DESTDIR}\${_vorlix_unit_file}\" \"\${_vorlix_unit}\")
    file(CHMOD \"\$ENV{DESTDIR}\${_vorlix_unit_file}\"
         PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
    list(APPEND CMAKE_INSTALL_MANIFEST_FILES \"\${_vorlix_unit_file}\")
  endforeach()
  file(INSTALL DESTINATION \"\${_vorlix_sysconf}/default\" TYPE FILE
       RENAME vorlix FILES \"${CMAKE_SOURCE_DIR}/packaging/vorlix.default\")
")

# The installed tree, checked after an install into a temporary DESTDIR.
string(REPLACE ";" " " _vorlix_tools_text "${VORLIX_TOOLS}")
add_test(NAME install_tree
           COMMAND bash ${CMAKE_SOURCE_DIR}/tests/install_check.sh
                   ${CMAKE_BINARY_DIR} "${_vorlix_tools_text}" "${VORLIX_EMULATOR_TEXT}")
set_tests_properties(install_tree PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 120 LABELS package)
add_test(NAME man_page
           COMMAND bash ${CMAKE_SOURCE_DIR}/tests/man_check.sh
                   ${CMAKE_SOURCE_DIR}/doc/vorlix.1 $<TARGET_FILE:vorlix> "${VORLIX_EMULATOR_TEXT}"
                 ${PROJECT_VERSION})
set_tests_properties(man_page PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 60 LABELS package)
foreach(program ${VORLIX_TOOLS})
  add_test(NAME man_page_${program}
           COMMAND bash ${CMAKE_SOURCE_DIR}/tests/man_check.sh
                   ${CMAKE_SOURCE_DIR}/doc/${program}.1 $<TARGET_FILE:${program}>
                   "${VORLIX_EMULATOR_TEXT}" ${PROJECT_VERSION} tool)
  set_tests_properties(man_page_${program} PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 60 LABELS package)
endforeach()
