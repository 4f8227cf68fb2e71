# The Windows installer, ZolSetup.exe, made with NSIS (Debian nsis) from the
# cross build's programs; its version is the project's.
if(NOT WIN32 OR ZOL_FUZZ)
  return()
endif()

find_program(ZOL_MAKENSIS makensis)
if(NOT ZOL_MAKENSIS)
  message(FATAL_ERROR "makensis not found: scripts/setup installs it (Debian package nsis)")
endif()
set(ZOL_SETUP ${CMAKE_BINARY_DIR}/ZolSetup.exe)
set(ZOL_SETUP_SCRIPT ${PROJECT_SOURCE_DIR}/packaging/windows/ZolSetup.nsi)
set(ZOL_SETUP_PROGRAMS PortBridgeServer MsrHidBridge LdHidBridge ZolLogSvc ZolConfig)
# The installer carries the programs stripped (a minidump needs no symbols in them).
set(ZOL_SETUP_STAGE ${CMAKE_BINARY_DIR}/setup)
set(strip_commands)
foreach(program ${ZOL_SETUP_PROGRAMS})
  list(APPEND strip_commands COMMAND ${CMAKE_STRIP} -o ${ZOL_SETUP_STAGE}/$<TARGET_FILE_NAME:${program}>
       $<TARGET_FILE:${program}>)
endforeach()
add_custom_command(OUTPUT ${ZOL_SETUP}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${ZOL_SETUP_STAGE}
  ${strip_commands}
  COMMAND ${ZOL_MAKENSIS} -V2 -WX -DVERSION=${PROJECT_VERSION} -DBIN_DIR=${ZOL_SETUP_STAGE}
          -DSOURCE_DIR=${PROJECT_SOURCE_DIR} -DOUT_FILE=${ZOL_SETUP} ${ZOL_SETUP_SCRIPT}
  DEPENDS ${ZOL_SETUP_SCRIPT} ${PROJECT_SOURCE_DIR}/packaging/windows/ZolConfig.xml
          ${PROJECT_SOURCE_DIR}/configtool/win32/ZolConfig.ico ${ZOL_SETUP_PROGRAMS}
  COMMENT "Making ZolSetup.exe"
  VERBATIM)
add_custom_target(ZolSetup ALL DEPENDS ${ZOL_SETUP})
