// The Win32 backend against the real system objects (run under Wine).
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "platform/Error.h"
#include "platform/Event.h"
#include "platform/Paths.h"
#include "platform/Registry.h"
#include "platform/Text.h"

namespace {

// A key of its own under HKLM\SOFTWARE, removed afterwards.
class Win32RegistryTest : public testing::Test {
 protected:
  void SetUp() override {
    m_subKey = L"SOFTWARE\\ZolPlatformTest\\" + std::to_wstring(GetCurrentProcessId());
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, m_subKey.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY,
                              nullptr, &m_key, nullptr),
              ERROR_SUCCESS);
    const DWORD two = 2;
    ASSERT_EQ(RegSetValueExW(m_key, L"NUMBER_OF_REQ_COM_PORTS", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&two),
                             sizeof two),
              ERROR_SUCCESS);
    const wchar_t text[] = L"2";
    ASSERT_EQ(RegSetValueExW(m_key, L"Text", 0, REG_SZ, reinterpret_cast<const BYTE*>(text), sizeof text),
              ERROR_SUCCESS);
    const unsigned long long eight = 8;
    ASSERT_EQ(RegSetValueExW(m_key, L"Wide", 0, REG_QWORD, reinterpret_cast<const BYTE*>(&eight), sizeof eight),
              ERROR_SUCCESS);
  }
  void TearDown() override {
    if (m_key) RegCloseKey(m_key);
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\ZolPlatformTest");
  }

  std::wstring m_subKey;
  HKEY m_key = nullptr;
};

TEST_F(Win32RegistryTest, ReadsADwordAndTellsFailuresApart) {
  struct Case {
    std::wstring subKey;
    const wchar_t* value;
    sys::RegistryStatus status;
    std::uint32_t error;
  };
  const Case cases[] = {
      {m_subKey, L"NUMBER_OF_REQ_COM_PORTS", sys::RegistryStatus::Ok, 0},
      {m_subKey, L"number_of_req_com_ports", sys::RegistryStatus::Ok, 0},
      {m_subKey + L"\\Missing", L"NUMBER_OF_REQ_COM_PORTS", sys::RegistryStatus::NoKey, ERROR_FILE_NOT_FOUND},
      {m_subKey, L"Missing", sys::RegistryStatus::NoValue, ERROR_FILE_NOT_FOUND},
      {m_subKey, L"Text", sys::RegistryStatus::WrongType, ERROR_INVALID_DATA},
      {m_subKey, L"Wide", sys::RegistryStatus::WrongType, ERROR_INVALID_DATA},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(sys::ToUtf8(c.value));
    std::uint32_t value = 77;
    const auto result = sys::ReadRegistryDword(c.subKey, c.value, value);
    EXPECT_EQ(result.status, c.status);
    EXPECT_EQ(result.error, c.error);
    EXPECT_EQ(value, c.status == sys::RegistryStatus::Ok ? 2u : 77u);
  }
}

TEST(Win32PlatformTest, FixedPathsAreTheWindowsOnes) {
  EXPECT_EQ(sys::GetFixedPath(sys::FixedPath::ConfigDocument), L"C:\\Program Files\\Halvern\\ZOL\\BIN\\ZolConfig.xml");
  EXPECT_EQ(sys::GetFixedPath(sys::FixedPath::LogFile), L"C:\\Program Files\\Halvern\\ZOL\\LOG\\zol.log");
  EXPECT_EQ(sys::GetFixedPath(sys::FixedPath::CrashDump), L"C:\\Windows\\8350service.dmp");
  EXPECT_EQ(sys::ComPortPath(3), L"\\\\.\\COM3");
  EXPECT_EQ(sys::SysRoot(), L"");
}

TEST(Win32PlatformTest, AWaitIncludesANativeHandle) {
  HANDLE native = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ASSERT_NE(native, nullptr);
  sys::Event stop;
  const sys::NativeWaitable item{reinterpret_cast<std::intptr_t>(native), false};
  EXPECT_EQ(sys::WaitAny({stop, item}, 0), static_cast<std::uint32_t>(WAIT_TIMEOUT));
  SetEvent(native);
  EXPECT_EQ(sys::WaitAny({stop, item}, 0), 1u);
  CloseHandle(native);
  EXPECT_EQ(sys::WaitAny({stop, item}, 0), WAIT_FAILED);  // a closed handle
  EXPECT_EQ(sys::LastError(), static_cast<std::uint32_t>(ERROR_INVALID_HANDLE));
}

}  // namespace
