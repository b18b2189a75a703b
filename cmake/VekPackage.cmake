# What a user installs, from the release build (scripts/release.sh):
# - on Windows, vek-driver-<version>-win32.zip: the DLL, the panel where this build makes it, the
#   installation notes and an example settings section, as installed here; release.sh adds their
#   SHA256SUMS and zips them in name order (cpack's zip takes them in the folder's order);
# - on Linux, vek-tools_<version>_<arch>.deb, made by cpack: the panel, the virtual card, the
#   driver library the panel loads, their man pages and documents; dpkg-shlibdeps computes its
#   dependencies.
# The version is project()'s, as everywhere else.
set(packaging ${PROJECT_SOURCE_DIR}/packaging)

set(shipped vek_driver)

if(WIN32)
  # Installed as built: the Release link already strips them, and stripping again would change
  # the DLL that the Windows tests ran.
  install(TARGETS vek_driver RUNTIME DESTINATION .)
  # The Windows panel, where this build makes it, loads the DLL from its own folder.
  if(TARGET vek-panel)
    install(TARGETS vek-panel RUNTIME DESTINATION .)
    list(APPEND shipped vek-panel)
    set(VEK_ZIP_PANEL_LINE "vek-panel.exe         the commissioning panel; keep it beside the DLL\r\n")
    string(CONCAT VEK_ZIP_PANEL_TEXT
      "vek-panel.exe, kept beside vek_driver.dll, loads the driver as the host does, starts\r\n"
      "it, switches the card's outputs and shows its inputs, before the host application ever\r\n"
      "runs; on leaving it stops the driver, so the card is left with every output off. Run it\r\n"
      "from a command prompt in its folder; vek-panel.exe --help lists its options.")
  else()
    set(VEK_ZIP_PANEL_LINE "")
    string(CONCAT VEK_ZIP_PANEL_TEXT
      "The commissioning panel is in the Linux package vek-tools. With the card on a USB\r\n"
      "serial adapter:  vek-panel --device /dev/ttyUSB0  (man vek-panel). It loads the driver as\r\n"
      "the host does, switches the card's outputs (keys a-p) and shows its inputs; q leaves the\r\n"
      "card with every output off.")
  endif()
  # For Notepad: CRLF (the texts above carry their own, as configure_file converts only the
  # template's lines).
  foreach(text INSTALL.txt example-settings.ini)
    configure_file(${packaging}/${text}.in ${CMAKE_CURRENT_BINARY_DIR}/${text} @ONLY NEWLINE_STYLE CRLF)
    install(FILES ${CMAKE_CURRENT_BINARY_DIR}/${text} DESTINATION .)
  endforeach()
  # What changed since the last release, with CRLF as the texts above.
  configure_file(${PROJECT_SOURCE_DIR}/CHANGELOG.md ${CMAKE_CURRENT_BINARY_DIR}/CHANGELOG.md @ONLY NEWLINE_STYLE CRLF)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/CHANGELOG.md DESTINATION .)
else()
  set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
  set(CPACK_PACKAGE_VENDOR "Vek")
  set(CPACK_PACKAGE_CONTACT "Vek driver developers")
  set(CPACK_STRIP_FILES ON)
  # Every staged file gets the commit's time before cpack archives it.
  set(CPACK_PRE_BUILD_SCRIPTS ${packaging}/stage.cmake)
  set(CPACK_VERBATIM_VARIABLES ON)
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGE_NAME vek-tools)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "commissioning panel and virtual card for the Vek I/O card")
  set(CPACK_PACKAGE_DESCRIPTION
    "vek-panel switches a Vek card's outputs and shows its inputs through the KORVANEX\n"
    "driver, loaded as the host loads it, before the host application ever runs.\n"
    "vek-virtual-card plays the card on a pseudo-terminal, for running the driver without\n"
    "hardware. The package holds the Linux build of the driver, which the panel loads.")
  string(CONCAT CPACK_PACKAGE_DESCRIPTION ${CPACK_PACKAGE_DESCRIPTION})

  install(TARGETS vek-panel vek-virtual-card RUNTIME DESTINATION bin)
  install(TARGETS vek_driver LIBRARY DESTINATION ${VEK_INSTALL_DRIVER_DIR}
    PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  install(FILES docs/panel.md docs/link.md docs/settings.md DESTINATION share/doc/vek-tools)
  install(FILES tools/virtual_card/README.md DESTINATION share/doc/vek-tools RENAME virtual-card.md)
  install(FILES tools/panel/README.md DESTINATION share/doc/vek-tools RENAME panel-reference.md)
  install(FILES tools/panel/examples/loopback-acceptance.script DESTINATION share/doc/vek-tools)
  install(FILES CHANGELOG.md DESTINATION share/doc/vek-tools)
  list(APPEND shipped vek-panel vek-virtual-card)

  if(VEK_RELEASE)
    # Written by hand (docs/man, checked against each tool's --help by a test), with the version
    # filled in; gzip -n keeps the file's name and time out.
    set(pages)
    foreach(tool vek-panel vek-virtual-card)
      set(source ${CMAKE_CURRENT_BINARY_DIR}/man/${tool}.1)
      configure_file(${PROJECT_SOURCE_DIR}/docs/man/${tool}.1.in ${source} @ONLY)
      set(page ${source}.gz)
      add_custom_command(OUTPUT ${page}
        COMMAND ${packaging}/man-page.sh ${source} ${page}
        DEPENDS ${source} ${packaging}/man-page.sh
        VERBATIM)
      list(APPEND pages ${page})
    endforeach()
    add_custom_target(vek_man_pages DEPENDS ${pages})
    install(FILES ${pages} DESTINATION share/man/man1)
    list(APPEND shipped vek_man_pages)
  endif()
  include(CPack)
endif()

# What scripts/release.sh builds: the shipped files and nothing else.
add_custom_target(vek_shipped DEPENDS ${shipped})
