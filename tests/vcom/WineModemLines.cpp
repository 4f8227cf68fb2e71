// A Windows program on a COM port under Wine, asked by the other end of the
// line what it sees of the modem lines and told which lines to set:
//   zol_modem_lines.exe COM<n>
// Reads one command byte at a time from the port and answers on the port
// with one line (also printed):
//   m  "CTS=<0|1> DSR=<0|1> RING=<0|1> RLSD=<0|1>" from GetCommModemStatus
//   D d R r  EscapeCommFunction SETDTR, CLRDTR, SETRTS, CLRRTS: "ok"
//   q  ends
// A failed call answers "error <GetLastError>". Built for Wine only.
#include <windows.h>

#include <cstdio>
#include <string>

#include "OpenComPort.h"

namespace {

void Answer(HANDLE port, const std::string& text) {
  const std::string line = text + "\n";
  DWORD written = 0;
  WriteFile(port, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
  std::printf("%s", line.c_str());
  std::fflush(stdout);
}

std::string Error() { return "error " + std::to_string(GetLastError()); }

std::string Escape(HANDLE port, DWORD function) { return EscapeCommFunction(port, function) ? "ok" : Error(); }

std::string ModemStatus(HANDLE port) {
  DWORD s = 0;
  if (!GetCommModemStatus(port, &s)) return Error();
  auto on = [&](DWORD bit) { return (s & bit) != 0 ? "1" : "0"; };
  return std::string("CTS=") + on(MS_CTS_ON) + " DSR=" + on(MS_DSR_ON) + " RING=" + on(MS_RING_ON) +
         " RLSD=" + on(MS_RLSD_ON);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  // No flow control: the answers go out whatever the lines say. A read
  // returns with the first byte, or empty after a minute of silence.
  COMMTIMEOUTS t{};
  t.ReadIntervalTimeout = MAXDWORD;
  t.ReadTotalTimeoutMultiplier = MAXDWORD;
  t.ReadTotalTimeoutConstant = 60000;
  HANDLE port = OpenComPort(argv[1], t);
  if (port == INVALID_HANDLE_VALUE) return 1;
  std::printf("open %s\n", argv[1]);
  std::fflush(stdout);
  for (;;) {
    char c = 0;
    DWORD got = 0;
    if (!ReadFile(port, &c, 1, &got, nullptr)) {
      std::printf("read failed %lu\n", GetLastError());
      return 1;
    }
    if (got == 0) return 1;
    switch (c) {
      case 'm': Answer(port, ModemStatus(port)); break;
      case 'D': Answer(port, Escape(port, SETDTR)); break;
      case 'd': Answer(port, Escape(port, CLRDTR)); break;
      case 'R': Answer(port, Escape(port, SETRTS)); break;
      case 'r': Answer(port, Escape(port, CLRRTS)); break;
      case 'q': CloseHandle(port); return 0;
      default: Answer(port, std::string("unknown ") + c); break;
    }
  }
}
