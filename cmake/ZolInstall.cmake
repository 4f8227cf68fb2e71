# cmake --install lays out /opt/halvern/zol/{bin,log}, the systemd units and the
# udev rule below the prefix ("/" unless given); cpack -G DEB packs the same.
if(CMAKE_CROSSCOMPILING OR ZOL_FUZZ)
  return()
endif()

set(ZOL_BIN opt/halvern/zol/bin)
install(TARGETS PortBridgeServer ZolLogSvc ZolConfig vcomd hidsim RUNTIME DESTINATION ${ZOL_BIN})
install(TARGETS MsrHidBridge LdHidBridge ZolHidRaw ZolHidSim LIBRARY DESTINATION ${ZOL_BIN})
install(DIRECTORY DESTINATION opt/halvern/zol/log)
# Made by cmake/ZolUnits.cmake (the same text the services' install writes).
install(FILES
  ${PROJECT_BINARY_DIR}/packaging/systemd/vcomd.service
  ${PROJECT_BINARY_DIR}/packaging/systemd/ZOLLOGSVC.service
  ${PROJECT_BINARY_DIR}/packaging/systemd/ZOLSVC.service
  DESTINATION lib/systemd/system)
# The administrator's choice of ports, group and mode (a conffile).
install(FILES ${PROJECT_SOURCE_DIR}/packaging/default/zol-vcomd DESTINATION etc/default)
install(DIRECTORY DESTINATION etc/halvern)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/udev/70-zol-hid.rules DESTINATION lib/udev/rules.d)

set(CPACK_PACKAGE_NAME zol)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "ZOL maintainers <zol@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Serial (COM) point-of-sale devices on USB HID: port service, plug-ins, logging service and configuration tool")
set(CPACK_PACKAGING_INSTALL_PREFIX /)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE amd64)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6, libpugixml1v5, libsystemd0, libudev1, libqt6widgets6, systemd")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${PROJECT_SOURCE_DIR}/packaging/debian/postinst
  ${PROJECT_SOURCE_DIR}/packaging/debian/prerm
  ${PROJECT_SOURCE_DIR}/packaging/debian/postrm
  ${PROJECT_SOURCE_DIR}/packaging/debian/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
# zol_<version>_amd64.deb, as Debian names packages.
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_GENERATOR DEB)
include(CPack)

# zol-vcom-dkms_<version>_all.deb, beside zol's in the build folder: the
# kernel driver's source, which Debian's dkms builds for each kernel.
add_custom_target(zol-vcom-dkms
  COMMAND ${PROJECT_SOURCE_DIR}/packaging/dkms/make-deb ${PROJECT_SOURCE_DIR}/drivers/vcom/kernel
          ${PROJECT_VERSION} ${CMAKE_BINARY_DIR}
  COMMENT "Packing zol-vcom-dkms_${PROJECT_VERSION}_all.deb"
  VERBATIM)
