# The man page, installed gzipped as Debian keeps them, and the .deb.
include(GNUInstallDirs)

set(V3DWATCH_MAN_PAGE ${CMAKE_CURRENT_BINARY_DIR}/v3dwatch.1.gz)
add_custom_command(
  OUTPUT ${V3DWATCH_MAN_PAGE}
  COMMAND gzip -9 -n -c ${CMAKE_CURRENT_SOURCE_DIR}/man/v3dwatch.1 > ${V3DWATCH_MAN_PAGE}
  DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/man/v3dwatch.1
  VERBATIM)
add_custom_target(v3dwatch_man_page ALL DEPENDS ${V3DWATCH_MAN_PAGE})
install(FILES ${V3DWATCH_MAN_PAGE} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME v3dwatch)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "monitor of V3D GPU utilisation per client")
set(CPACK_PACKAGE_DESCRIPTION
    "Shows, once a second, how busy each client of the V3D GPU keeps the render,\nTFU and bin engines, beside the CPU load of the client's process, as a\nfull-screen table or a CSV stream.")
set(CPACK_PACKAGE_CONTACT "v3dwatch developers <v3dwatch@localhost>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
# dpkg-shlibdeps names the runtime libraries (ncursesw among them) for the
# architecture being built, so the same rules serve amd64 and arm64.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
include(CPack)
