# The man page, its title line carrying the project's version, installed
# gzipped as Debian keeps them.
configure_file(${PROJECT_SOURCE_DIR}/man/v3dwatch.1 ${CMAKE_CURRENT_BINARY_DIR}/v3dwatch.1 @ONLY)
set(V3DWATCH_MAN_PAGE ${CMAKE_CURRENT_BINARY_DIR}/v3dwatch.1.gz)
add_custom_command(
  OUTPUT ${V3DWATCH_MAN_PAGE}
  COMMAND gzip -9 -n -c ${CMAKE_CURRENT_BINARY_DIR}/v3dwatch.1 > ${V3DWATCH_MAN_PAGE}
  DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/v3dwatch.1
  VERBATIM)
add_custom_target(v3dwatch_man_page ALL DEPENDS ${V3DWATCH_MAN_PAGE})
install(FILES ${V3DWATCH_MAN_PAGE} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
