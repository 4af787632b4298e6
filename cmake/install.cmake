# What `cmake --install` puts where, and the Debian package that cpack
# makes of it (`cpack -G DEB` in a configured tree; scripts/build deb).
#
#   bin/tamborvine                                  the program
#   bin/tamborvine-sim                              the simulated target
#   share/man/man1/tamborvine.1.gz                  the manual page
#   share/bash-completion/completions/tamborvine    the bash completion
include(GNUInstallDirs)

install(TARGETS tamborvine RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(WIN32)
  return()  # the Windows program alone: no manual pages or bash there
endif()
install(TARGETS tamborvine-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# The manual page carries the version of project(); it is installed
# compressed, as Debian keeps its manual pages.
set(man_page ${CMAKE_BINARY_DIR}/dist/tamborvine.1)
configure_file(${CMAKE_SOURCE_DIR}/dist/tamborvine.1.in ${man_page} @ONLY)
add_custom_command(OUTPUT ${man_page}.gz
  COMMAND gzip -9 -n -c ${man_page} > ${man_page}.gz
  DEPENDS ${man_page}
  COMMENT "Compressing the manual page")
add_custom_target(manual_page ALL DEPENDS ${man_page}.gz)
install(FILES ${man_page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

install(FILES ${CMAKE_SOURCE_DIR}/dist/tamborvine.bash
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
        RENAME tamborvine)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tamborvine)
set(CPACK_PACKAGE_CONTACT "tamborvine developer <dev@tamborvine.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "AVR firmware download through a serial bootloader, and a serial terminal")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "tamborvine reads an Intel HEX image, downloads it into an ATmega128 over a
serial port by talking to the bootloader on the target, verifies every page
by checksum, and then stays on the port as a serial terminal with display
modes, time tags, a log, text upload and a DTR pulse.
.
tamborvine-sim plays such a target on a pseudo-terminal, to try the
program or one's scripts without hardware.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)  # tamborvine_VERSION_ARCH.deb
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)  # Depends from the libraries the programs link
set(CPACK_DEBIAN_PACKAGE_SUGGESTS bash-completion)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
include(CPack)
