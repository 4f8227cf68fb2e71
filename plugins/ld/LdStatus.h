#pragma once
// Judging the display's status report: each flag logs its line; with device
// information attached, bytes 2, 3 and 5 are recorded. Nothing else reacts.
#include "platform/WinTypes.h"

// status: the 8 bytes after the report id. deviceInformation receives bytes
// 2, 3 and 5 when flag 0x10 is set, and is left alone otherwise.
void JudgeLdStatus(const BYTE* status, DWORD deviceInformation[3]);
