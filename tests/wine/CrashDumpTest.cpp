// A crash on the service host writes 8350service.dmp through dbghelp; it is
// read back here as a minidump, by its own layout.
#include <gtest/gtest.h>

#include <cstring>
#include <map>

#include "tests/support/WinTestSupport.h"

namespace {

// The minidump layout: header, stream directory, exception stream.
#pragma pack(push, 4)
struct DumpHeader {
  std::uint32_t signature, version, numberOfStreams, streamDirectoryRva, checkSum, timeDateStamp;
  std::uint64_t flags;
};
struct DumpDirectory {
  std::uint32_t streamType, dataSize, rva;
};
struct DumpException {
  std::uint32_t threadId, alignment;
  std::uint32_t code, flags;
  std::uint64_t record, address;
  std::uint32_t numberParameters, unusedAlignment;
  std::uint64_t information[15];
};
#pragma pack(pop)

constexpr std::uint32_t kThreadListStream = 3;
constexpr std::uint32_t kExceptionStream = 6;
constexpr std::uint32_t kMemory64ListStream = 9;

template <typename T>
bool ReadAt(const std::string& data, std::size_t offset, T& out) {
  if (offset > data.size() || data.size() - offset < sizeof(T)) return false;
  std::memcpy(&out, data.data() + offset, sizeof(T));
  return true;
}

TEST(CrashDumpTest, AccessViolationWritesAMinidumpWithTheExceptionAndNoFullMemory) {
  wchar_t windows[MAX_PATH];
  ASSERT_GT(GetWindowsDirectoryW(windows, MAX_PATH), 0u);
  const std::filesystem::path dump = std::filesystem::path(windows) / L"8350service.dmp";
  std::filesystem::remove(dump);

  ASSERT_TRUE(SetEnvironmentVariableW(L"ZOL_HOST_PROBE_CRASH", L"10"));
  const int code = wintest::RunProgram(L"\"" + (wintest::BinDir() / L"zol_host_probe.exe").wstring() + L"\" console");
  SetEnvironmentVariableW(L"ZOL_HOST_PROBE_CRASH", nullptr);
  EXPECT_EQ(static_cast<DWORD>(code), static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION));

  const std::string data = wintest::ReadFile(dump);
  DumpHeader header{};
  ASSERT_TRUE(ReadAt(data, 0, header)) << "no dump at " << dump.string();
  EXPECT_EQ(header.signature, 0x504D444Du);  // "MDMP"
  EXPECT_EQ(header.version & 0xFFFFu, 0xA793u);
  std::map<std::uint32_t, DumpDirectory> streams;
  for (std::uint32_t i = 0; i < header.numberOfStreams; ++i) {
    DumpDirectory d{};
    ASSERT_TRUE(ReadAt(data, header.streamDirectoryRva + i * sizeof d, d));
    ASSERT_LE(static_cast<std::uint64_t>(d.rva) + d.dataSize, data.size());
    streams[d.streamType] = d;
  }
  ASSERT_EQ(streams.count(kExceptionStream), 1u);
  EXPECT_EQ(streams.count(kThreadListStream), 1u);
  EXPECT_EQ(streams.count(kMemory64ListStream), 0u);  // not a full-memory dump

  DumpException e{};
  ASSERT_TRUE(ReadAt(data, streams[kExceptionStream].rva, e));
  EXPECT_EQ(e.code, static_cast<std::uint32_t>(EXCEPTION_ACCESS_VIOLATION));
  ASSERT_GE(e.numberParameters, 2u);
  EXPECT_EQ(e.information[0], 1u);     // a write
  EXPECT_EQ(e.information[1], 0x10u);  // to the address the probe was given
  EXPECT_NE(e.threadId, 0u);

  // The card data the probe holds in its memory is not in the dump.
  EXPECT_EQ(data.find("SECRET-4111111111111111"), std::string::npos);
  std::filesystem::remove(dump);
}

}  // namespace
