# The systemd units, made once from packaging/systemd/*.service.in: the files
# the package installs (<build>/packaging/systemd) and, from the same text,
# <build>/generated/zol/ServiceUnits.h, which `PortBridgeServer install` and
# `ZolLogSvc install` write with their own path in ExecStart.
set(ZOL_UNIT_SOURCE ${PROJECT_SOURCE_DIR}/packaging/systemd)
set(ZOL_UNIT_OUTPUT ${PROJECT_BINARY_DIR}/packaging/systemd)
set(ZOL_GENERATED_INCLUDE ${PROJECT_BINARY_DIR}/generated)
set(ZOL_UNITS vcomd ZOLLOGSVC ZOLSVC)

set(ZOL_BIN /opt/halvern/zol/bin)
set(ZOL_LOG /opt/halvern/zol/log)
file(READ ${ZOL_UNIT_SOURCE}/hardening.conf ZOL_HARDENING)
string(REGEX REPLACE "(^|\n)#[^\n]*" "" ZOL_HARDENING "${ZOL_HARDENING}")
string(STRIP "${ZOL_HARDENING}" ZOL_HARDENING)
set_property(DIRECTORY ${PROJECT_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${ZOL_UNIT_SOURCE}/hardening.conf)

set(ZOL_UNIT_ENTRIES "")
foreach(unit ${ZOL_UNITS})
  set_property(DIRECTORY ${PROJECT_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${ZOL_UNIT_SOURCE}/${unit}.service.in)
  file(READ ${ZOL_UNIT_SOURCE}/${unit}.service.in text)
  string(CONFIGURE "${text}" text @ONLY)
  file(CONFIGURE OUTPUT ${ZOL_UNIT_OUTPUT}/${unit}.service CONTENT "${text}" @ONLY)
  string(APPEND ZOL_UNIT_ENTRIES "    {\"${unit}\", R\"zolunit(${text})zolunit\"},\n")
endforeach()
file(CONFIGURE OUTPUT ${ZOL_GENERATED_INCLUDE}/zol/ServiceUnits.h CONTENT
"#pragma once
// Made by cmake/ZolUnits.cmake from packaging/systemd: the units the package
// installs, name and text.
namespace zolunits {

struct PackagedUnit {
  const char* service;
  const char* text;
};

inline constexpr PackagedUnit kPackagedUnits[] = {
\@ZOL_UNIT_ENTRIES\@};

}  // namespace zolunits
" @ONLY)
