# What `cmake --install` puts in place, and the packages CPack makes of it
# (scripts/package runs both builds and collects the results in dist/):
#
#   Linux:   a Debian package, `cpack -G DEB`: /usr/bin/zmodem, the manual
#            page, and in /usr/share/doc/zmodem the copyright file (made from
#            LICENSE) and the changelog;
#   Windows: a zip, `cpack -G ZIP`: zmodem.exe with README.txt and LICENSE.txt
#            in CRLF line ends, named zmodem-VERSION-win32.zip (win64 for a
#            64-bit build). zmodem.exe carries a version resource.
#
# The version everywhere is PROJECT_VERSION, from project() in CMakeLists.txt.

set(ZMODEM_PACKAGE_MAINTAINER "The zmodem authors <zmodem@example.org>"
  CACHE STRING "Maintainer named in the Debian package and its changelog")

# Directories made by the installation are 0755 whatever the umask.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE
  GROUP_READ GROUP_EXECUTE
  WORLD_READ WORLD_EXECUTE)

file(READ "${PROJECT_SOURCE_DIR}/LICENSE" zmodem_license)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
  "${PROJECT_SOURCE_DIR}/LICENSE" "${PROJECT_SOURCE_DIR}/README.md")

# zmodem_gzip(FILE): FILE.gz beside FILE, compressed the Debian way (best
# compression, no name or time stamp: the same input gives the same bytes),
# built with the default target.
function(zmodem_gzip file)
  add_custom_command(OUTPUT "${file}.gz"
    COMMAND "${ZMODEM_GZIP}" -9 -n -k -f "${file}"
    DEPENDS "${file}"
    VERBATIM)
  get_filename_component(name "${file}" NAME)
  add_custom_target("gzip_${name}" ALL DEPENDS "${file}.gz")
endfunction()

if(WIN32)
  # The version resource: product name, version and description.
  if(NOT CMAKE_RC_COMPILER)
    # The toolchain did not name windres: take the one beside the compiler.
    get_filename_component(zmodem_cxx_name "${CMAKE_CXX_COMPILER}" NAME)
    if(zmodem_cxx_name MATCHES "^(.+-)g\\+\\+")
      find_program(CMAKE_RC_COMPILER NAMES "${CMAKE_MATCH_1}windres" windres)
    endif()
  endif()
  enable_language(RC)
  configure_file("${PROJECT_SOURCE_DIR}/packaging/zmodem.rc.in"
    "${PROJECT_BINARY_DIR}/zmodem.rc" @ONLY)
  target_sources(zmodem PRIVATE "${PROJECT_BINARY_DIR}/zmodem.rc")

  install(TARGETS zmodem RUNTIME DESTINATION .)
  # Text files as Windows editors expect them.
  foreach(pair "README.md;README.txt" "LICENSE;LICENSE.txt")
    list(GET pair 0 source)
    list(GET pair 1 target)
    file(READ "${PROJECT_SOURCE_DIR}/${source}" text)
    string(REPLACE "\r\n" "\n" text "${text}")
    string(REPLACE "\n" "\r\n" text "${text}")
    file(WRITE "${PROJECT_BINARY_DIR}/${target}" "${text}")
    install(FILES "${PROJECT_BINARY_DIR}/${target}" DESTINATION .)
  endforeach()

  set(CPACK_GENERATOR ZIP)
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(CPACK_PACKAGE_FILE_NAME "zmodem-${PROJECT_VERSION}-win32")
  else()
    set(CPACK_PACKAGE_FILE_NAME "zmodem-${PROJECT_VERSION}-win64")
  endif()
else()
  install(TARGETS zmodem RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

  # Gzipped where gzip exists (below).
  # The manual page names the program without a version in its footer; the
  # installed copy gets the version added there.
  file(READ "${PROJECT_SOURCE_DIR}/docs/zmodem.1" zmodem_manual)
  string(REGEX REPLACE "^(\\.TH [^\n]*)\"zmodem\"" "\\1\"zmodem ${PROJECT_VERSION}\""
    zmodem_manual "${zmodem_manual}")
  file(WRITE "${PROJECT_BINARY_DIR}/zmodem.1" "${zmodem_manual}")
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${PROJECT_SOURCE_DIR}/docs/zmodem.1")
  configure_file("${PROJECT_SOURCE_DIR}/packaging/changelog.in"
    "${PROJECT_BINARY_DIR}/changelog" @ONLY)

  # The copyright file in Debian's machine-readable format, with the text of
  # LICENSE below its copyright line.
  if(NOT zmodem_license MATCHES "Copyright \\(c\\) ([^\n]*)\n\n(.*)$")
    message(FATAL_ERROR "LICENSE: no \"Copyright (c) ...\" line followed by the license text")
  endif()
  set(zmodem_copyright_holder "${CMAKE_MATCH_1}")
  string(STRIP "${CMAKE_MATCH_2}" zmodem_license_text)
  string(REPLACE "\n\n" "\n.\n" zmodem_license_text "${zmodem_license_text}")
  string(REPLACE "\n" "\n " zmodem_license_text "${zmodem_license_text}")
  file(WRITE "${PROJECT_BINARY_DIR}/copyright"
"Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: zmodem
Upstream-Contact: ${ZMODEM_PACKAGE_MAINTAINER}

Files: *
Copyright: ${zmodem_copyright_holder}
License: Expat
 ${zmodem_license_text}
")
  install(FILES "${PROJECT_BINARY_DIR}/copyright" DESTINATION ${CMAKE_INSTALL_DOCDIR})

  find_program(ZMODEM_GZIP gzip)
  if(ZMODEM_GZIP)
    zmodem_gzip("${PROJECT_BINARY_DIR}/zmodem.1")
    zmodem_gzip("${PROJECT_BINARY_DIR}/changelog")
    install(FILES "${PROJECT_BINARY_DIR}/zmodem.1.gz" DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
    install(FILES "${PROJECT_BINARY_DIR}/changelog.gz" DESTINATION ${CMAKE_INSTALL_DOCDIR})
  else()
    install(FILES "${PROJECT_BINARY_DIR}/zmodem.1" DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
    install(FILES "${PROJECT_BINARY_DIR}/changelog" DESTINATION ${CMAKE_INSTALL_DOCDIR})
  endif()

  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${ZMODEM_PACKAGE_MAINTAINER}")
  set(CPACK_DEBIAN_PACKAGE_SECTION comm)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
endif()

set(CPACK_PACKAGE_NAME zmodem)
set(CPACK_PACKAGE_VENDOR "The zmodem authors")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
# The long description; lines stay under 80 characters.
set(CPACK_PACKAGE_DESCRIPTION "zmodem moves files over a serial line with the Zmodem protocol:
`zmodem /r` receives a batch of files into the current directory, and
`zmodem /s FILE` sends one file. The other end can be any Zmodem program,
such as sz and rz from lrzsz or a terminal emulator.

The line runs at 115200 baud, 8 data bits, no parity, 1 stop bit, without
flow control, on /dev/ttyS0 or the device named by ZMODEM_PORT.")
set(CPACK_RESOURCE_FILE_LICENSE "${PROJECT_SOURCE_DIR}/LICENSE")
set(CPACK_STRIP_FILES ON)
include(CPack)
