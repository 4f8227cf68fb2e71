#include <gtest/gtest.h>

#include <sys/resource.h>

#include <cerrno>

#include "platform/AppendFile.h"
#include "platform/Error.h"
#include "platform/WinTypes.h"
#include "platform/posix/PosixError.h"
#include "tests/support/TestSupport.h"

namespace {

TEST(ErrorPosixTest, TextsAreTheSystemMessageTableWording) {
  struct Case {
    DWORD code;
    const char* text;
  };
  const Case cases[] = {
      {ERROR_SUCCESS, "The operation completed successfully.\r\n"},
      {ERROR_FILE_NOT_FOUND, "The system cannot find the file specified.\r\n"},
      {ERROR_ACCESS_DENIED, "Access is denied.\r\n"},
      {ERROR_BROKEN_PIPE, "The pipe has been ended.\r\n"},
      {ERROR_IO_PENDING, "Overlapped I/O operation is in progress.\r\n"},
      {ERROR_FILE_INVALID, "The volume for a file has been externally altered so that the opened file is no longer valid.\r\n"},
      {ERROR_DEVICE_NOT_CONNECTED, "The device is not connected.\r\n"},
      {ERROR_MOD_NOT_FOUND, "The specified module could not be found.\r\n"},
      {10061, "No connection could be made because the target machine actively refused it.\r\n"},
      {static_cast<DWORD>(E_FAIL), "Unspecified error\r\n"},
      {static_cast<DWORD>(E_UNEXPECTED), "Catastrophic failure\r\n"},
      {static_cast<DWORD>(E_OUTOFMEMORY), "Not enough memory resources are available to complete this operation.\r\n"},
      {0x80070005u, "Access is denied.\r\n"},  // a system error made an HRESULT
  };
  for (const auto& c : cases) EXPECT_EQ(sys::ErrorText(c.code), c.text) << c.code;
}

TEST(ErrorPosixTest, ErrnoBecomesTheSystemErrorNumber) {
  struct Case {
    int error;
    DWORD code;
  };
  const Case cases[] = {
      {0, ERROR_SUCCESS},
      {ENOENT, ERROR_FILE_NOT_FOUND},
      {ENOTDIR, ERROR_PATH_NOT_FOUND},
      {EACCES, ERROR_ACCESS_DENIED},
      {EBADF, ERROR_INVALID_HANDLE},
      {EINVAL, ERROR_INVALID_PARAMETER},
      {EPIPE, ERROR_BROKEN_PIPE},
      {EAGAIN, ERROR_IO_PENDING},
      {ENXIO, ERROR_DEVICE_NOT_CONNECTED},
      {ENAMETOOLONG, ERROR_FILENAME_EXCED_RANGE},
      {EROFS, ERROR_WRITE_PROTECT},
      {EEXIST, ERROR_ALREADY_EXISTS},
      {ENOSPC, ERROR_DISK_FULL},
      {EFBIG, ERROR_DISK_FULL},
      {ECONNREFUSED, 10061},
      {EDOM, ERROR_GEN_FAILURE},  // nothing fits
  };
  for (const auto& c : cases) {
    sys::SetLastError(12345);
    EXPECT_EQ(sys::posix::SetLastErrorFromErrno(c.error), c.code) << c.error;
    EXPECT_EQ(sys::LastError(), c.code) << c.error;
    // Every code the backend can report has a text.
    EXPECT_FALSE(sys::ErrorText(c.code).empty()) << c.code;
  }
}

// The append-only file reports its failures in the same numbers as the rest
// of the backend.
TEST(ErrorPosixTest, AppendFileFailuresUseTheSameNumbers) {
  zoltest::TempDir dir;
  const std::string a = (dir.Dir() / "a.log").string();
  const std::string b = (dir.Dir() / "b.log").string();
  sys::AppendFile file;
  ASSERT_TRUE(file.Open(a));
  ASSERT_TRUE(file.Write("0123456789", 10));
  zoltest::WriteFile(b, "b");
  EXPECT_FALSE(sys::RenameNoReplace(a, b));
  EXPECT_EQ(sys::LastError(), ERROR_ALREADY_EXISTS);

  rlimit before{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &before), 0);
  rlimit small{16, before.rlim_max};
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  const bool wrote = file.Write("abcdefghij", 10);
  const DWORD error = sys::LastError();
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &before), 0);
  EXPECT_FALSE(wrote);
  EXPECT_EQ(error, ERROR_DISK_FULL);
  // What the failed call wrote is taken back.
  EXPECT_EQ(file.Size(), 10u);
  EXPECT_EQ(zoltest::ReadText(a), "0123456789");
}

}  // namespace
