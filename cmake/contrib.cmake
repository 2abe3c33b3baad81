# The files for other systems: the exporter's systemd unit and the Grafana
# dashboard. Installed, not enabled.
include(GNUInstallDirs)

# The unit names the program where this install puts it, which is /usr/bin in
# the package; the prefix is the one in force at install time (cpack and
# `cmake --install --prefix` change it).
set(V3DWATCH_UNIT_SOURCE ${CMAKE_CURRENT_SOURCE_DIR}/contrib/v3dwatch-exporter.service)
set(V3DWATCH_UNIT_BUILT ${CMAKE_CURRENT_BINARY_DIR}/contrib/v3dwatch-exporter.service)
install(CODE "
  file(READ \"${V3DWATCH_UNIT_SOURCE}\" unit)
  string(REPLACE \"/usr/bin/v3dwatch\" \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/v3dwatch\" unit \"\${unit}\")
  file(WRITE \"${V3DWATCH_UNIT_BUILT}\" \"\${unit}\")
  file(INSTALL \"${V3DWATCH_UNIT_BUILT}\" DESTINATION \"\${CMAKE_INSTALL_PREFIX}/lib/systemd/system\"
       PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
")
install(FILES contrib/grafana/v3dwatch-dashboard.json DESTINATION ${CMAKE_INSTALL_DATADIR}/v3dwatch)
