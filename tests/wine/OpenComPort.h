// How the test's Windows programs open a COM port, as POS applications do:
// 9600 8N1, no flow control (DTR and RTS on), the caller's time-outs. A
// failure is printed and gives INVALID_HANDLE_VALUE.
#pragma once

#include <windows.h>

#include <cstdio>
#include <string>

inline HANDLE OpenComPort(const char* name, const COMMTIMEOUTS& timeouts) {
  const std::string path = std::string("\\\\.\\") + name;
  HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    std::printf("open %s failed %lu\n", name, GetLastError());
    return h;
  }
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  if (!GetCommState(h, &dcb)) std::printf("GetCommState %s failed %lu\n", name, GetLastError());
  dcb.BaudRate = CBR_9600;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  dcb.fBinary = TRUE;
  dcb.fOutxCtsFlow = FALSE;
  dcb.fOutxDsrFlow = FALSE;
  dcb.fDtrControl = DTR_CONTROL_ENABLE;
  dcb.fRtsControl = RTS_CONTROL_ENABLE;
  dcb.fOutX = FALSE;
  dcb.fInX = FALSE;
  if (!SetCommState(h, &dcb)) {
    std::printf("SetCommState %s failed %lu\n", name, GetLastError());
    CloseHandle(h);
    return INVALID_HANDLE_VALUE;
  }
  COMMTIMEOUTS t = timeouts;
  if (!SetCommTimeouts(h, &t)) {
    std::printf("SetCommTimeouts %s failed %lu\n", name, GetLastError());
    CloseHandle(h);
    return INVALID_HANDLE_VALUE;
  }
  return h;
}
