# The help pages beside the executable, in the build tree and once installed; the desktop entry,
# the icon, and a Debian package made by CPack.
include(GNUInstallDirs)

# A build runs with its manual: the pages are copied next to the executable on every build.
file(GLOB VELMORA_HELP_FILES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/help/*)
add_custom_target(velmora_help ALL
  COMMAND ${CMAKE_COMMAND} -E copy_directory ${PROJECT_SOURCE_DIR}/help $<TARGET_FILE_DIR:velmora>/help
  DEPENDS ${VELMORA_HELP_FILES}
  COMMENT "Copying the help pages beside the executable")
add_dependencies(velmora velmora_help)

install(TARGETS velmora velmora-send RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${PROJECT_SOURCE_DIR}/resources/velmora-send.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
# The workbook reader is a helper process, not a command: velmora finds it in libexec/velmora.
if(TARGET velmora-workbook-reader)
  install(TARGETS velmora-workbook-reader RUNTIME DESTINATION ${CMAKE_INSTALL_LIBEXECDIR}/velmora)
endif()
install(DIRECTORY ${PROJECT_SOURCE_DIR}/help/ DESTINATION ${CMAKE_INSTALL_DATADIR}/velmora/help)
install(FILES ${PROJECT_SOURCE_DIR}/resources/velmora.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${PROJECT_SOURCE_DIR}/resources/velmora.svg
  DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME velmora)
set(CPACK_PACKAGE_VENDOR "Velmora")
set(CPACK_PACKAGE_CONTACT "Velmora maintainers <velmora@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "mail-merge mailer: one personalised mail per recipient row")
# The summary line comes from CPACK_PACKAGE_DESCRIPTION_SUMMARY; this is the text below it.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
  "Velmora loads a table of recipients (CSV, Excel .xls and .xlsx, OpenDocument .ods, an ODBC
data source or the desktop address book), merges <%column%> tags into a subject and body, and sends one mail
per row through an SMTP server, at once or at a set time. The interface is Japanese.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION mail)
# Libraries the executable links come from dpkg-shlibdeps; Qt's plugins are loaded at run time,
# so the platform plugins (X11/Wayland) and the SVG icon plugin are named here.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins, libqt6svg6")
# QtKeychain reaches the desktop's keyring through libsecret (loaded at run time) or KWallet.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS
    "fonts-ipafont-gothic | fonts-noto-cjk, qt6-translations-l10n, ca-certificates, libsecret-1-0, gnome-keyring | kwalletmanager")
include(CPack)
