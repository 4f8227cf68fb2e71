// Stands for a Windows point-of-sale application: writes to the line display
// on one COM port and reads a card from the stripe reader on another, the way
// such programs do (DCB, time-outs, blocking ReadFile / WriteFile).
//   zol_pos_app <display COM> <reader COM>
// Prints "display <n>" once the display text is written, "reader open" once
// the reader's port is open, then "swipe <hex>" with the exact bytes read.
#include <windows.h>

#include <cstdio>
#include <string>

#include "OpenComPort.h"

namespace {

// A read returns once the line has been quiet for 500 ms after data, or
// after 60 s without any; a write may take 5 s.
HANDLE OpenPort(const char* name) {
  COMMTIMEOUTS t{};
  t.ReadIntervalTimeout = 500;
  t.ReadTotalTimeoutConstant = 60000;
  t.WriteTotalTimeoutConstant = 5000;
  return OpenComPort(name, t);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  HANDLE display = OpenPort(argv[1]);
  if (display == INVALID_HANDLE_VALUE) return 1;
  // Clear, wrap mode, a greeting and a price; then a user-defined character
  // (code '~', a full block) shown at the end of the top line.
  const std::string text = std::string("\x1F\x11") + "  Welcome to ZOL!" + "\x10\x14" + "Coffee          2.50" +
                           "\x03~\xFF\xFF\xFF\xFF\xFF" + "\x10\x13" + "~";
  DWORD written = 0;
  if (!WriteFile(display, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) || written != text.size()) {
    std::printf("write failed %lu (%lu written)\n", GetLastError(), written);
    return 1;
  }
  FlushFileBuffers(display);
  std::printf("display %lu\n", written);
  std::fflush(stdout);

  HANDLE reader = OpenPort(argv[2]);
  if (reader == INVALID_HANDLE_VALUE) return 1;
  std::printf("reader open\n");
  std::fflush(stdout);
  std::string card;
  for (;;) {
    char buffer[256];
    DWORD got = 0;
    if (!ReadFile(reader, buffer, sizeof buffer, &got, nullptr)) {
      std::printf("read failed %lu\n", GetLastError());
      return 1;
    }
    if (got == 0) break;  // quiet after data, or nothing at all
    if (card.empty()) {
      // The rest of the card follows at once: wait a second at most.
      COMMTIMEOUTS t{};
      t.ReadIntervalTimeout = 500;
      t.ReadTotalTimeoutConstant = 1000;
      SetCommTimeouts(reader, &t);
    }
    card.append(buffer, got);
  }
  std::printf("swipe ");
  for (unsigned char c : card) std::printf("%02x", c);
  std::printf("\n");
  std::fflush(stdout);
  CloseHandle(reader);
  CloseHandle(display);
  return card.empty() ? 1 : 0;
}
