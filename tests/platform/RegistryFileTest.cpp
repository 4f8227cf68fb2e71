#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "platform/Registry.h"
#include "platform/WinTypes.h"

namespace {

namespace fs = std::filesystem;
using sys::RegistryStatus;

const wchar_t kKey[] = L"SOFTWARE\\HALVERN\\Quillmere";
const wchar_t kValue[] = L"NUMBER_OF_REQ_COM_PORTS";
const char kHeader[] = "Windows Registry Editor Version 5.00\n\n";
const char kSection[] = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\HALVERN\\Quillmere]\n";

std::string Utf16Le(const std::string& ascii) {
  std::string out = "\xFF\xFE";
  for (char c : ascii) {
    out += c;
    out += '\0';
  }
  return out;
}

std::string Crlf(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

// A system root in a temporary folder, with the registry file in it.
class RegistryFileTest : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/zol-registry-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    m_root = pattern;
    if (const char* old = getenv("ZOL_SYSROOT")) m_oldRoot = old;
    setenv("ZOL_SYSROOT", m_root.c_str(), 1);
    fs::create_directories(m_root / "etc/halvern");
  }
  void TearDown() override {
    if (m_oldRoot) setenv("ZOL_SYSROOT", m_oldRoot->c_str(), 1);
    else unsetenv("ZOL_SYSROOT");
    fs::remove_all(m_root);
  }
  fs::path File() const { return m_root / "etc/halvern/registry.reg"; }
  void Write(const std::string& bytes) {
    std::ofstream out(File(), std::ios::binary | std::ios::trunc);
    out << bytes;
  }

  fs::path m_root;
  std::optional<std::string> m_oldRoot;
};

TEST_F(RegistryFileTest, ReadsTheValueInEveryEncodingAndLineEnd) {
  const std::string body = std::string(kHeader) + kSection + "\"NUMBER_OF_REQ_COM_PORTS\"=dword:0000000a\n";
  struct Case {
    const char* name;
    std::string bytes;
  };
  const Case cases[] = {
      {"UTF-8, LF", body},
      {"UTF-8, CR LF", Crlf(body)},
      {"UTF-8 with BOM", "\xEF\xBB\xBF" + Crlf(body)},
      {"UTF-16LE with BOM, CR LF", Utf16Le(Crlf(body))},
      {"UTF-16LE with BOM, LF", Utf16Le(body)},
      {"no header, no final line end", std::string(kSection) + "\"NUMBER_OF_REQ_COM_PORTS\"=dword:0000000a"},
      {"REGEDIT4 header", "REGEDIT4\n\n" + std::string(kSection) + "\"NUMBER_OF_REQ_COM_PORTS\"=dword:0000000a\n"},
      {"names in other case", "[hkey_local_machine\\software\\halvern\\QUILLMERE]\n\"number_of_req_com_ports\"=dword:A\n"},
      {"comments, blanks, other values and hives",
       "; exported\n[HKEY_CURRENT_USER\\SOFTWARE\\HALVERN\\Quillmere]\n\"NUMBER_OF_REQ_COM_PORTS\"=dword:00000001\n\n" +
           std::string(kSection) + "@=\"default\"\n\"Name\"=\"a \\\"quoted\\\" \\\\ text\"\n"
           "\"Blob\"=hex:01,02,\\\n  03,04\n\"NUMBER_OF_REQ_COM_PORTS\" = dword:0000000a\n"},
      {"a later line replaces an earlier one",
       std::string(kSection) + "\"NUMBER_OF_REQ_COM_PORTS\"=dword:00000003\n" + kSection +
           "\"NUMBER_OF_REQ_COM_PORTS\"=dword:0000000a\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Write(c.bytes);
    std::uint32_t value = 0;
    const auto result = sys::ReadRegistryDword(kKey, kValue, value);
    EXPECT_EQ(result.status, RegistryStatus::Ok);
    EXPECT_EQ(result.error, 0u);
    EXPECT_EQ(value, 10u);
  }
}

TEST_F(RegistryFileTest, MissingTypeAndMalformedFailuresAreToldApart) {
  struct Case {
    const char* name;
    std::optional<std::string> bytes;  // no file when empty
    RegistryStatus status;
    DWORD error;
  };
  const std::string s = kSection;
  const Case cases[] = {
      {"no file", std::nullopt, RegistryStatus::NoKey, ERROR_FILE_NOT_FOUND},
      {"empty file", "", RegistryStatus::NoKey, ERROR_FILE_NOT_FOUND},
      {"other key only", "[HKEY_LOCAL_MACHINE\\SOFTWARE\\HALVERN\\Other]\n\"NUMBER_OF_REQ_COM_PORTS\"=dword:1\n",
       RegistryStatus::NoKey, ERROR_FILE_NOT_FOUND},
      {"a key whose name only starts alike", "[HKEY_LOCAL_MACHINE\\SOFTWARE\\HALVERN\\Quillmere2]\n",
       RegistryStatus::NoKey, ERROR_FILE_NOT_FOUND},
      {"same path in another hive", "[HKEY_CURRENT_USER\\SOFTWARE\\HALVERN\\Quillmere]\n\"NUMBER_OF_REQ_COM_PORTS\"=dword:1\n",
       RegistryStatus::NoKey, ERROR_FILE_NOT_FOUND},
      {"key deleted", s + "\"NUMBER_OF_REQ_COM_PORTS\"=dword:1\n[-HKEY_LOCAL_MACHINE\\SOFTWARE\\HALVERN]\n",
       RegistryStatus::NoKey, ERROR_FILE_NOT_FOUND},
      {"key without values", s, RegistryStatus::NoValue, ERROR_FILE_NOT_FOUND},
      {"key present through a subkey", "[HKEY_LOCAL_MACHINE\\SOFTWARE\\HALVERN\\Quillmere\\Sub]\n",
       RegistryStatus::NoValue, ERROR_FILE_NOT_FOUND},
      {"other value", s + "\"NUMBER_OF_PORTS\"=dword:1\n", RegistryStatus::NoValue, ERROR_FILE_NOT_FOUND},
      {"value deleted", s + "\"NUMBER_OF_REQ_COM_PORTS\"=dword:1\n\"NUMBER_OF_REQ_COM_PORTS\"=-\n",
       RegistryStatus::NoValue, ERROR_FILE_NOT_FOUND},
      {"string value", s + "\"NUMBER_OF_REQ_COM_PORTS\"=\"2\"\n", RegistryStatus::WrongType, ERROR_INVALID_DATA},
      {"binary value", s + "\"NUMBER_OF_REQ_COM_PORTS\"=hex:02,00,00,00\n", RegistryStatus::WrongType, ERROR_INVALID_DATA},
      {"qword value", s + "\"NUMBER_OF_REQ_COM_PORTS\"=hex(b):02,00,00,00,00,00,00,00\n", RegistryStatus::WrongType,
       ERROR_INVALID_DATA},
      {"value before any key", "\"NUMBER_OF_REQ_COM_PORTS\"=dword:1\n" + s, RegistryStatus::Failed, ERROR_BADDB},
      {"dword not hex", s + "\"NUMBER_OF_REQ_COM_PORTS\"=dword:0000000g\n", RegistryStatus::Failed, ERROR_BADDB},
      {"dword too long", s + "\"NUMBER_OF_REQ_COM_PORTS\"=dword:100000000\n", RegistryStatus::Failed, ERROR_BADDB},
      {"dword empty", s + "\"NUMBER_OF_REQ_COM_PORTS\"=dword:\n", RegistryStatus::Failed, ERROR_BADDB},
      {"key line not closed", "[HKEY_LOCAL_MACHINE\\SOFTWARE\\HALVERN\\Quillmere\n\"NUMBER_OF_REQ_COM_PORTS\"=dword:1\n",
       RegistryStatus::Failed, ERROR_BADDB},
      {"name not quoted", s + "NUMBER_OF_REQ_COM_PORTS=dword:1\n", RegistryStatus::Failed, ERROR_BADDB},
      {"name quote not closed", s + "\"NUMBER_OF_REQ_COM_PORTS=dword:1\n", RegistryStatus::Failed, ERROR_BADDB},
      {"no equals sign", s + "\"NUMBER_OF_REQ_COM_PORTS\" dword:1\n", RegistryStatus::Failed, ERROR_BADDB},
      {"unknown type", s + "\"NUMBER_OF_REQ_COM_PORTS\"=word:1\n", RegistryStatus::Failed, ERROR_BADDB},
      {"bad hex byte", s + "\"Blob\"=hex:1,zz\n\"NUMBER_OF_REQ_COM_PORTS\"=dword:1\n", RegistryStatus::Failed, ERROR_BADDB},
      {"UTF-16 without a mark", Utf16Le(s + "\"NUMBER_OF_REQ_COM_PORTS\"=dword:1\n").substr(2), RegistryStatus::Failed,
       ERROR_BADDB},
      {"UTF-16 cut in half a unit", Utf16Le(s) + "x", RegistryStatus::Failed, ERROR_BADDB},
      {"binary bytes", std::string("\x7F" "ELF\x02\x01\x01\0\0\0", 10), RegistryStatus::Failed, ERROR_BADDB},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove(File());
    if (c.bytes) Write(*c.bytes);
    std::uint32_t value = 77;
    const auto result = sys::ReadRegistryDword(kKey, kValue, value);
    EXPECT_EQ(result.status, c.status);
    EXPECT_EQ(result.error, c.error);
    EXPECT_EQ(value, 77u) << "value left alone on failure";
  }
}

TEST_F(RegistryFileTest, AFolderInPlaceOfTheFileIsAFailure) {
  fs::create_directories(File());  // a folder where the file should be
  std::uint32_t value = 0;
  auto result = sys::ReadRegistryDword(kKey, kValue, value);
  EXPECT_EQ(result.status, RegistryStatus::Failed);
  EXPECT_EQ(result.error, ERROR_ACCESS_DENIED);
}

TEST_F(RegistryFileTest, AFileWithoutReadPermissionIsAFailure) {
  std::uint32_t value = 0;
  if (geteuid() == 0) GTEST_SKIP() << "root reads files without read permission";
  Write(std::string(kSection) + "\"NUMBER_OF_REQ_COM_PORTS\"=dword:1\n");
  chmod(File().c_str(), 0);
  const auto result = sys::ReadRegistryDword(kKey, kValue, value);
  EXPECT_EQ(result.status, RegistryStatus::Failed);
  EXPECT_EQ(result.error, ERROR_ACCESS_DENIED);
}

}  // namespace
