// COM numbers from interface paths and from configuration texts.
#include <gtest/gtest.h>

#include <string>

#include "platform/Process.h"
#include "service/ZolManager.h"
#include "service/ZolPort.h"

namespace {

struct PathCase {
  const wchar_t* reference;  // what follows the platform's separator
  bool ok;
  DWORD com;
};

TEST(InterfacePathParsing, ComNumberFollowsTheMarkerAfterTheSeparator) {
  const PathCase cases[] = {
      {L"ZOL_COM12", true, 12}, {L"zol_com3", true, 3},  {L"Zol_Com3", false, 0},
      {L"ZOL_COM", false, 0},   {L"ZOL_COM0", false, 0}, {L"ZOL_COM7x", true, 7},
      {L"ZOL_COMx7", false, 0}, {L"COM3", false, 0},
  };
  const std::wstring sep(1, sys::PathSeparator());
  const std::wstring folder = sep + L"run" + sep + L"zol" + sep + L"devices" + sep + L"{5B1E7C3A-9D42-4F86-A1C0-3E7D92B41F08}";
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << std::string(c.reference, c.reference + std::wcslen(c.reference)));
    ZolPort port(folder + sep + c.reference);
    EXPECT_EQ(port.GetComPortNumberFromDeviceInterfacePath(), c.ok ? TRUE : FALSE);
    EXPECT_EQ(port.ComPort(), c.com);
  }
}

TEST(InterfacePathParsing, MarkerWithoutTheSeparatorIsNotFound) {
  ZolPort port(L"devicesZOL_COM4");
  EXPECT_EQ(port.GetComPortNumberFromDeviceInterfacePath(), FALSE);
  EXPECT_EQ(port.ComPort(), 0u);
}

TEST(ComPortNameParsing, ComFollowedByDigitsOnly) {
  const struct {
    const wchar_t* text;
    int expected;
  } cases[] = {
      {L"com5", 5},   {L"COM5", 5},    {L"Com12", 12}, {L"COM0", 0},  {L"COM 5", -1}, {L"COM", -1},
      {L"5", -1},     {L"", -1},       {L"CO", -1},    {L"COM5x", -1}, {L"xCOM5", -1}, {L"COM-5", -1},
      {L"COM99999999999", -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << std::string(c.text, c.text + std::wcslen(c.text)));
    EXPECT_EQ(ParseComPortName(c.text), c.expected);
  }
}

TEST(ZolPortLifecycle, TerminateAndWriteOnAPortThatNeverOpened) {
  ZolPort port(L"nowhere");
  port.Terminate();  // not initialized: only logs
  std::uint8_t data[3] = {1, 2, 3};
  std::int32_t written = -1;
  EXPECT_EQ(port.Write(data, 3, &written, 1000), DEVICE_PORT_NOT_READY);
  EXPECT_EQ(data[0], 1);  // untouched when refused before the hand-off
  EXPECT_EQ(port.SetReadyToReceive(TRUE), FALSE);
  EXPECT_EQ(port.Initialize(), E_UNEXPECTED);
}

}  // namespace
