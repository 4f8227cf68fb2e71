#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/Error.h"
#include "platform/WinTypes.h"

namespace {

TEST(ErrorTest, HresultFromWin32) {
  struct Case {
    std::uint32_t code;
    std::uint32_t expected;
  };
  const Case cases[] = {
      {0, 0},
      {ERROR_ACCESS_DENIED, 0x80070005u},
      {ERROR_BROKEN_PIPE, 0x8007006Du},
      {ERROR_DEVICE_NOT_CONNECTED, 0x8007048Fu},
      {0x12345u, 0x80072345u},          // only the low 16 bits are kept
      {0x80004005u, 0x80004005u},       // already an HRESULT
  };
  for (const auto& c : cases) {
    EXPECT_EQ(static_cast<std::uint32_t>(sys::HresultFromWin32(c.code)), c.expected) << c.code;
  }
}

TEST(ErrorTest, EveryCodeTheSystemUsesHasATextEndingInCrLf) {
  const DWORD codes[] = {
      ERROR_SUCCESS, ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND, ERROR_TOO_MANY_OPEN_FILES,
      ERROR_ACCESS_DENIED, ERROR_INVALID_HANDLE, ERROR_NOT_ENOUGH_MEMORY, ERROR_INVALID_DATA,
      ERROR_OUTOFMEMORY, ERROR_WRITE_PROTECT, ERROR_NOT_READY, ERROR_BAD_COMMAND, ERROR_WRITE_FAULT,
      ERROR_READ_FAULT, ERROR_GEN_FAILURE, ERROR_SHARING_VIOLATION, ERROR_HANDLE_EOF,
      ERROR_NOT_SUPPORTED, ERROR_FILE_EXISTS, ERROR_INVALID_PARAMETER, ERROR_BROKEN_PIPE,
      ERROR_DISK_FULL, ERROR_INSUFFICIENT_BUFFER, ERROR_MOD_NOT_FOUND, ERROR_PROC_NOT_FOUND,
      ERROR_DIR_NOT_EMPTY, ERROR_BAD_PATHNAME, ERROR_BUSY, ERROR_ALREADY_EXISTS,
      ERROR_FILENAME_EXCED_RANGE, ERROR_NO_MORE_ITEMS, ERROR_OPERATION_ABORTED, ERROR_IO_INCOMPLETE,
      ERROR_IO_PENDING, ERROR_FILE_INVALID, ERROR_BADDB, ERROR_SERVICE_DOES_NOT_EXIST,
      ERROR_FAILED_SERVICE_CONTROLLER_CONNECT, ERROR_DEVICE_NOT_CONNECTED, ERROR_NOT_FOUND,
      ERROR_TIMEOUT,
      1,                                       // incorrect function
      1053, 1056, 1061, 1062, 1069, 1072, 1073,  // service control
      10004, 10024, 10035, 10048, 10053, 10054, 10055, 10060, 10061,  // sockets
      // HRESULTs that Process returns: without a text "Process failed" is dropped.
      static_cast<DWORD>(E_FAIL), static_cast<DWORD>(E_UNEXPECTED), static_cast<DWORD>(E_OUTOFMEMORY),
      static_cast<DWORD>(E_INVALIDARG), 0x80070005u, 0x8007048Fu,
  };
  for (DWORD code : codes) {
    const std::string text = sys::ErrorText(code);
    ASSERT_GE(text.size(), 3u) << code;
    EXPECT_EQ(text.substr(text.size() - 2), "\r\n") << code;
    EXPECT_EQ(text.find("\r\n"), text.size() - 2) << code << " has one line";
  }
}

TEST(ErrorTest, AnUnknownCodeHasNoText) { EXPECT_EQ(sys::ErrorText(0x2FFFFFFu), ""); }

TEST(ErrorTest, LastErrorBelongsToTheThread) {
  // Two threads each set their own code, then read it back after the other
  // has set its one. They meet through atomics only: a system call in
  // between may change the thread's last error.
  std::atomic<int> set{0};
  std::uint32_t seen[2] = {};
  const std::uint32_t codes[2] = {ERROR_BROKEN_PIPE, ERROR_ACCESS_DENIED};
  auto body = [&](int i) {
    sys::SetLastError(codes[i]);
    ++set;
    while (set.load() < 2) std::this_thread::yield();
    seen[i] = sys::LastError();
  };
  std::thread first(body, 0), second(body, 1);
  first.join();
  second.join();
  EXPECT_EQ(seen[0], codes[0]);
  EXPECT_EQ(seen[1], codes[1]);
}

}  // namespace
