#include "plugins/ld/LdStatus.h"

#include "plugins/ld/LdLog.h"

void JudgeLdStatus(const BYTE* status, DWORD deviceInformation[3]) {
  const BYTE flags = status[0];
  if (flags & 0x80) LdLog(LEVEL_ERROR, "HidLdManager::ProcessLdStatus - Command received was not a valid display command");
  if (flags & 0x40) LdLog(LEVEL_ERROR, "HidLdManager::ProcessLdStatus - Flash update in progress - cannot process commands");
  if (flags & 0x10) {
    LdLog(LEVEL_INFO, "HidLdManager::ProcessLdStatus - Device Information follows the status byte in the response");
    if (status[1] != 0x20) LdLog(LEVEL_ERROR, "HidLdManager::ProcessLdStatus - Device Type is not 0x20");
    if (status[4] != 0x03) LdLog(LEVEL_ERROR, "HidLdManager::ProcessLdStatus - Command Set is not 0x03");
    deviceInformation[0] = status[2];
    deviceInformation[1] = status[3];
    deviceInformation[2] = status[5];
  }
  if (flags & 0x08) LdLog(LEVEL_ERROR, "HidLdManager::ProcessLdStatus - The LCD is offline");
  if (flags & 0x02) LdLog(LEVEL_INFO, "HidLdManager::ProcessLdStatus - Get Character Set List response is attached");
  if ((flags & 0x03) == 0) LdLog(LEVEL_ERROR, "HidLdManager::ProcessLdStatus - Command is not complete");
}
