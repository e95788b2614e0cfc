# What `cmake --install` puts where, and the packages CPack makes from it: a .deb for each
# component on Linux (upgrade itself; the receiver simulator and the line emulator for trying
# and testing without a receiver), and from the MinGW build a .zip with upgrade.exe, the README
# and the manual as text.

include(GNUInstallDirs)

set(CPACK_PACKAGE_VENDOR "upgrade maintainers")
set(CPACK_PACKAGE_CONTACT "upgrade maintainers <maintainers@users.noreply.c-seed-7bb4a1aa.example>")

set(UPGRADE_MANUAL ${PROJECT_SOURCE_DIR}/docs/upgrade.1)

# What Debian asks of every binary package in /usr/share/doc/PACKAGE: the licence as a
# machine-readable copyright file (the MIT licence is "Expat" in Debian's names), and the
# package's changelog. Both are made from LICENSE and the project's version at configure time.
function(upgrade_debian_docs component package)
  set(dir ${PROJECT_BINARY_DIR}/debian/${package})
  file(READ ${PROJECT_SOURCE_DIR}/LICENSE licence)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/LICENSE)
  # The licence's text from "Permission" on, each line indented by one space and each empty
  # line a lone " .", as the copyright format writes a licence's text.
  string(FIND "${licence}" "Permission" start)
  string(SUBSTRING "${licence}" ${start} -1 text)
  string(STRIP "${text}" text)
  string(REPLACE "\n\n" "\n.\n" text "${text}")
  string(REPLACE "\n" "\n " text "${text}")
  file(WRITE ${dir}/copyright
"Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: ${PROJECT_NAME}

Files: *
Copyright: 2026 the upgrade authors
License: Expat
 ${text}
")
  file(WRITE ${dir}/changelog.Debian
"${package} (${PROJECT_VERSION}-1) unstable; urgency=medium

  * Release ${PROJECT_VERSION}.

 -- ${CPACK_PACKAGE_CONTACT}  Thu, 10 Dec 2026 12:00:00 +0000
")
  find_program(UPGRADE_GZIP gzip REQUIRED)
  add_custom_command(OUTPUT ${dir}/changelog.Debian.gz
    COMMAND ${UPGRADE_GZIP} -9nc ${dir}/changelog.Debian > ${dir}/changelog.Debian.gz
    DEPENDS ${dir}/changelog.Debian)
  add_custom_target(${component}_changelog ALL DEPENDS ${dir}/changelog.Debian.gz)
  install(FILES ${dir}/copyright ${dir}/changelog.Debian.gz
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package} COMPONENT ${component})
endfunction()

if(WIN32)
  install(TARGETS upgrade RUNTIME DESTINATION . COMPONENT upgrade)
  install(FILES README.md LICENSE DESTINATION . COMPONENT upgrade)
  # The manual as plain text for a system without man: rendered here by groff.
  find_program(UPGRADE_GROFF groff)
  if(UPGRADE_GROFF)
    set(UPGRADE_MANUAL_TEXT ${PROJECT_BINARY_DIR}/upgrade.txt)
    add_custom_command(OUTPUT ${UPGRADE_MANUAL_TEXT}
      COMMAND ${CMAKE_COMMAND} -DGROFF=${UPGRADE_GROFF} -DIN=${UPGRADE_MANUAL}
              -DOUT=${UPGRADE_MANUAL_TEXT} -P ${PROJECT_SOURCE_DIR}/cmake/manual_text.cmake
      DEPENDS ${UPGRADE_MANUAL} ${PROJECT_SOURCE_DIR}/cmake/manual_text.cmake
      VERBATIM)
    add_custom_target(manual_text ALL DEPENDS ${UPGRADE_MANUAL_TEXT})
    install(FILES ${UPGRADE_MANUAL_TEXT} DESTINATION . COMPONENT upgrade)
  else()
    message(WARNING "groff not found: the package will lack the manual as text")
  endif()
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
      "write new images into a satellite receiver's flash over a serial line")
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME ${PROJECT_NAME}-${PROJECT_VERSION}-win64)
else()
  install(TARGETS upgrade RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT upgrade)
  # Manual pages are installed compressed, as Debian's tools expect; man reads either.
  find_program(UPGRADE_GZIP gzip)
  if(UPGRADE_GZIP)
    set(UPGRADE_MANUAL_GZ ${PROJECT_BINARY_DIR}/upgrade.1.gz)
    add_custom_command(OUTPUT ${UPGRADE_MANUAL_GZ}
      COMMAND ${UPGRADE_GZIP} -9nc ${UPGRADE_MANUAL} > ${UPGRADE_MANUAL_GZ}
      DEPENDS ${UPGRADE_MANUAL})
    add_custom_target(manual_gz ALL DEPENDS ${UPGRADE_MANUAL_GZ})
    install(FILES ${UPGRADE_MANUAL_GZ} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT upgrade)
  else()
    install(FILES ${UPGRADE_MANUAL} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT upgrade)
  endif()
  install(FILES README.md docs/protocol.md DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT upgrade)
  foreach(tool receiver-sim line-emu)
    if(TARGET ${tool})
      install(TARGETS ${tool} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT simulator)
    endif()
  endforeach()
  upgrade_debian_docs(upgrade upgrade)
  upgrade_debian_docs(simulator upgrade-simulator)

  # Each component's description below starts with its own summary line, so no common summary
  # is set: CPack would put it in front of both.
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEB_COMPONENT_INSTALL ON)
  set(CPACK_COMPONENTS_ALL upgrade simulator)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
  set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # The libraries the programs link against, as dpkg-shlibdeps reads them from the binaries.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_UPGRADE_PACKAGE_NAME upgrade)
  set(CPACK_DEBIAN_UPGRADE_DESCRIPTION
      "write new images into a satellite receiver's flash over a serial line
upgrade writes the host program (rom.bin), the font (font.bin) and the
transponder list (tplist.bin) into a satellite receiver's flash through its
boot block's serial download mode: it answers the receiver's announcement,
reads the flash chip's identity, names the sectors to erase and sends the
images in CRC-protected blocks that the receiver accepts or asks for again.
Its /list option shows the serial ports of the machine.")
  set(CPACK_DEBIAN_SIMULATOR_PACKAGE_NAME upgrade-simulator)
  set(CPACK_DEBIAN_SIMULATOR_PACKAGE_SECTION devel)
  set(CPACK_DEBIAN_SIMULATOR_DESCRIPTION
      "receiver simulator and serial line emulator for upgrade
receiver-sim plays a satellite receiver's boot block on a pseudo-terminal, with
a simulated flash, so that upgrade can be tried and tested without a receiver;
line-emu emulates a serial line of a given speed between two pseudo-terminals.")
endif()

set(CPACK_PACKAGE_NAME ${PROJECT_NAME})
set(CPACK_STRIP_FILES ON)
set(CPACK_SOURCE_IGNORE_FILES "/build[^/]*/;/\\\\.git/")
include(CPack)
