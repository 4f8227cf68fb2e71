// The exact bytes of log lines, dump lines and formatted messages.
#include <gtest/gtest.h>

#include <cstdarg>
#include <string>
#include <vector>

#include "common/log/LogClient.h"
#include "common/log/ZolLog.h"

namespace {

using zollog::FormatLine;
using zollog::HexDumpLines;
using zollog::LogRecord;

LogRecord Record(DWORD module, DWORD level, const std::string& text) {
  LogRecord r;
  r.module = module;
  r.level = level;
  r.text = text;
  r.time = {2026, 12, 5, 14, 3, 7, 42};
  r.threadId = 0x1f04;
  r.processId = 0x0a3c;
  return r;
}

struct LineCase {
  const char* name;
  LogRecord record;
  std::string expected;
};

TEST(LogLine, ExactBytes) {
  const std::string head = "05/12/2026 14:03:07.042\tP[0a3c]\tT[1f04]\t";
  LogRecord wideIds = Record(ZOL_SERVICE, LEVEL_ERROR, "x");
  wideIds.processId = 0x12345;
  wideIds.threadId = 0xabcdef;
  LogRecord early = Record(ZOL_LDUSB, LEVEL_TRACE, "t");
  early.time = {2027, 1, 2, 3, 4, 5, 6};
  const std::vector<LineCase> cases = {
      {"example", Record(ZOL_MSRUSB, LEVEL_INFO, "BexHidMsr::Open - ok"),
       head + "ZOL_MSRUSB     \tLEVEL_INFO    \tBexHidMsr::Open - ok\r\n"},
      {"service error", Record(ZOL_SERVICE, LEVEL_ERROR, "m"), head + "ZOL_SERVICE    \tLEVEL_ERROR   \tm\r\n"},
      {"warning", Record(ZOL_LDUSB, LEVEL_WARNING, "m"), head + "ZOL_LDUSB      \tLEVEL_WARNING \tm\r\n"},
      {"verbose driver", Record(ZOL_DRIVER, LEVEL_VERBOSE, "m"), head + "ZOL_DRIVER     \tLEVEL_VERBOSE \tm\r\n"},
      {"trace iobus", Record(ZOL_IOBUS, LEVEL_TRACE, "m"), head + "ZOL_IOBUS      \tLEVEL_TRACE   \tm\r\n"},
      {"cdusb", Record(ZOL_CDUSB, LEVEL_INFO, "m"), head + "ZOL_CDUSB      \tLEVEL_INFO    \tm\r\n"},
      {"two module bits: empty module field", Record(3, LEVEL_INFO, "m"), head + "\tLEVEL_INFO    \tm\r\n"},
      {"unknown level: empty level field", Record(ZOL_SERVICE, 6, "m"), head + "ZOL_SERVICE    \t\tm\r\n"},
      {"empty text", Record(ZOL_SERVICE, LEVEL_INFO, ""), head + "ZOL_SERVICE    \tLEVEL_INFO    \t\r\n"},
      {"ids wider than four digits", wideIds, "05/12/2026 14:03:07.042\tP[12345]\tT[abcdef]\tZOL_SERVICE    \tLEVEL_ERROR   \tx\r\n"},
      {"zero-padded date and time", early, "02/01/2027 03:04:05.006\tP[0a3c]\tT[1f04]\tZOL_LDUSB      \tLEVEL_TRACE   \tt\r\n"},
      {"continuation", Record(ZOL_MSRUSB | LOG_CONTINUATION, LEVEL_INFO, "001) 02"),
       std::string(72, ' ') + "001) 02\r\n"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(FormatLine(c.record), c.expected) << c.name;
  }
}

TEST(LogLine, LevelAndModuleNamesArePadded) {
  for (DWORD level = 0; level <= 5; ++level) EXPECT_EQ(std::string(zollog::LevelName(level)).size(), 14u) << level;
  for (DWORD bit = 1; bit <= 32; bit <<= 1) EXPECT_EQ(std::string(zollog::ModuleName(bit)).size(), 15u) << bit;
  EXPECT_STREQ(zollog::ModuleName(64), "");
  EXPECT_STREQ(zollog::ModuleName(ZOL_MSRUSB | LOG_CONTINUATION), "");
}

std::vector<unsigned char> Bytes(std::initializer_list<int> v) {
  std::vector<unsigned char> b;
  for (int x : v) b.push_back(static_cast<unsigned char>(x));
  return b;
}

std::vector<unsigned char> Sequence(int n, int first) {
  std::vector<unsigned char> b;
  for (int i = 0; i < n; ++i) b.push_back(static_cast<unsigned char>(first + i));
  return b;
}

struct DumpCase {
  const char* name;
  std::vector<unsigned char> bytes;
  std::vector<std::string> expected;
};

TEST(LogHexDumpLayout, Lines) {
  const std::string full16 =
      "001) 41 42 43 44   45 46 47 48   49 4a 4b 4c   4d 4e 4f 50   ABCDEFGHIJKLMNOP";
  const std::vector<DumpCase> cases = {
      {"five bytes", Bytes({0x02, 0x41, 0x42, 0x43, 0x03}),
       {"001) 02 41 42 43   03 " + std::string(39, ' ') + ".ABC."}},
      {"sixteen bytes", Sequence(16, 'A'), {full16}},
      {"seventeen bytes", Sequence(17, 'A'),
       {full16, "002) 51 " + std::string(53, ' ') + "Q"}},
      {"blank and DEL", Bytes({0x20, 0x7F, 0x21, 0xFF}),
       {"001) 20 7f 21 ff   " + std::string(42, ' ') + ".\x7f!\xff"}},
      {"eight bytes", Sequence(8, '0'),
       {"001) 30 31 32 33   34 35 36 37   " + std::string(28, ' ') + "01234567"}},
      {"fifteen bytes", Sequence(15, 'a'),
       {"001) 61 62 63 64   65 66 67 68   69 6a 6b 6c   6d 6e 6f " + std::string(5, ' ') + "abcdefghijklmno"}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(HexDumpLines(c.bytes.data(), c.bytes.size()), c.expected) << c.name;
  }
  // A full hex part is 61 characters, and every line's character part starts there.
  auto lines = HexDumpLines(Sequence(40, 0x30).data(), 40);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[2].substr(0, 5), "003) ");
  for (auto& l : lines) EXPECT_EQ(l.size(), 61u + (l == lines[2] ? 8u : 16u));
}

std::string Fmt(const char* fmt, ...) {
  va_list a;
  va_start(a, fmt);
  std::string s = zollog::FormatMessageV(fmt, a);
  va_end(a);
  return s;
}

std::wstring FmtW(const wchar_t* fmt, ...) {
  va_list a;
  va_start(a, fmt);
  std::wstring s = zollog::FormatMessageWV(fmt, a);
  va_end(a);
  return s;
}

TEST(LogMessageFormat, WideArgumentsInBothFormats) {
  EXPECT_EQ(Fmt("ZolPort - %ws rc=%d", L"COM5", 3), "ZolPort - COM5 rc=3");
  EXPECT_EQ(Fmt("%s - (0x%x)%ws", "msg", 5u, L"Access is denied."), "msg - (0x5)Access is denied.");
  EXPECT_EQ(Fmt("[%-6ws]", L"ab"), "[ab    ]");
  EXPECT_EQ(Fmt("100%% %s", "done"), "100% done");
  EXPECT_EQ(FmtW(L"Path = %ws, %s, %d", L"/a/b", L"wide", 7), L"Path = /a/b, wide, 7");
  EXPECT_EQ(FmtW(L"%hs and %S", "narrow1", "narrow2"), L"narrow1 and narrow2");
  EXPECT_EQ(FmtW(L"Level %d%%", 50), L"Level 50%");
}

TEST(LogMessageFormat, NonAsciiArgumentsKeepTheLowByteAndNeverEmptyTheMessage) {
  // The C library's own conversion fails on these in the C locale.
  const std::wstring cafe = std::wstring(L"caf") + wchar_t(0xE9) + L" " + wchar_t(0x0141);
  EXPECT_EQ(Fmt("Path = %ws rc=%d", cafe.c_str(), 2), "Path = caf\xe9 A rc=2");
  EXPECT_EQ(Fmt("[%-7S]", cafe.c_str()), "[caf\xe9 A ]");
  EXPECT_EQ(Fmt("%lc%c", static_cast<wint_t>(0x0141), 'b'), "Ab");
  EXPECT_EQ(FmtW(L"%hs|%s", "caf\xc3\xa9", cafe.c_str()), std::wstring(L"caf") + wchar_t(0xC3) + wchar_t(0xA9) + L"|" + cafe);
  // A format unit whose low byte is '%' is text, not a conversion.
  EXPECT_EQ(zollog::Narrow(FmtW((std::wstring(L"a") + wchar_t(0x0125) + L"d %d").c_str(), 4)), "a%d 4");
}

TEST(LogMessageFormat, CutAt1023Characters) {
  std::string longText(3000, 'x');
  for (size_t n : {1022u, 1023u, 1024u, 3000u}) {
    std::string s = Fmt("%s", longText.substr(0, n).c_str());
    EXPECT_EQ(s.size(), std::min<size_t>(n, 1023)) << n;
    std::wstring w = FmtW(L"%ls", std::wstring(n, L'y').c_str());
    EXPECT_EQ(w.size(), std::min<size_t>(n, 1023)) << n;
  }
}

TEST(LogMessageFormat, NarrowKeepsTheLowByte) {
  std::wstring w = L"A%";
  w += static_cast<wchar_t>(0x00E9);
  w += static_cast<wchar_t>(0x0141);
  EXPECT_EQ(zollog::Narrow(w), std::string("A%\xe9\x41"));
}

}  // namespace
