# The man page, installed gzipped as Debian keeps them. Its title line names
# the version as written, so that `man ./man/v3dwatch.1` reads right too; the
# build refuses a page whose version is not the project's.
file(STRINGS ${PROJECT_SOURCE_DIR}/man/v3dwatch.1 V3DWATCH_MAN_TITLE LIMIT_COUNT 1 REGEX "^\\.TH ")
if(NOT V3DWATCH_MAN_TITLE MATCHES " \"v3dwatch ${PROJECT_VERSION}\" ")
  message(FATAL_ERROR "man/v3dwatch.1's title line does not name version ${PROJECT_VERSION}: ${V3DWATCH_MAN_TITLE}")
endif()
configure_file(${PROJECT_SOURCE_DIR}/man/v3dwatch.1 ${CMAKE_CURRENT_BINARY_DIR}/v3dwatch.1 COPYONLY)
set(V3DWATCH_MAN_PAGE ${CMAKE_CURRENT_BINARY_DIR}/v3dwatch.1.gz)
add_custom_command(
  OUTPUT ${V3DWATCH_MAN_PAGE}
  COMMAND gzip -9 -n -c ${CMAKE_CURRENT_BINARY_DIR}/v3dwatch.1 > ${V3DWATCH_MAN_PAGE}
  DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/v3dwatch.1
  VERBATIM)
add_custom_target(v3dwatch_man_page ALL DEPENDS ${V3DWATCH_MAN_PAGE})
install(FILES ${V3DWATCH_MAN_PAGE} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
