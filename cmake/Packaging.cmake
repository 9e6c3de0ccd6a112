# Installation and the Debian package (scripts/package runs cpack -G DEB).
# `cmake --install` puts the same files under any prefix.

# The programs a user runs. A new program is one more name here, plus its
# page in docs/man.
set(TIVAKO_PROGRAMS tivako-loader tivako-monitor tivako-board tivako-flash)
foreach(program ${TIVAKO_PROGRAMS})
  if(TARGET ${program})
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()

set(debian ${TIVAKO_ROOT}/resources/linux/debian)
set(docdir ${CMAKE_INSTALL_DATADIR}/doc/tivako-loader)
install(FILES ${debian}/copyright DESTINATION ${docdir})
add_custom_command(OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz
  COMMAND sh -c "gzip -9n < '${debian}/changelog' > '${CMAKE_CURRENT_BINARY_DIR}/changelog.gz'"
  DEPENDS ${debian}/changelog VERBATIM)
add_custom_target(tivako_changelog ALL DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz DESTINATION ${docdir})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tivako-loader)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Tivako file loader developers <maintainers@tivako.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "console and firmware loader for Tivako STM32 boards")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The libraries come from dpkg-shlibdeps; the fonts are those the window's
# captions are measured against.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "fonts-dejavu-core, fonts-liberation")
# The synopsis is the summary above; CPack indents these lines itself and
# writes the empty one as " .".
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
"The Tivako file loader lists the CP210x USB-to-UART bridges that are plugged
in, opens one as the board's serial console (plain text or TLV frames, with
ANSI colours), resets the board and writes firmware through the STM32 ROM
UART bootloader.

The package holds the loader, tivako-monitor (programs an Intel HEX file
through a running loader) and tivako-board (a virtual board on a
pseudo-terminal), and the udev rule that lets the user at the seat open a
bridge.")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${debian}/postinst ${debian}/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
