// Arbitrary serial bytes through the parser and the display emulation, cut
// into hand-overs and interleaved with scrolling steps; the state must stay
// within its bounds and every report must be well formed.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "plugins/ld/LdDisplay.h"
#include "plugins/ld/LdReports.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

// Every report the display returns must be well formed.
void CheckActions(const LdActions& actions) {
  for (const LdAction& a : actions) {
    if (a.type != LdAction::Type::Send) continue;
    const BYTE* bytes = a.bytes.data();
    const DWORD length = a.length;
    Check(length >= 2 && length <= ldreport::kLineReportLength);
    Check(bytes[0] == 0x00);
    if (bytes[1] == ldreport::kWriteTopLine || bytes[1] == ldreport::kWriteBottomLine) {
      Check(length == ldreport::kLineReportLength);
      unsigned sum = 0;
      for (DWORD i = 0; i + 1 < length; ++i) sum += bytes[i];
      Check(bytes[length - 1] == static_cast<BYTE>(sum));
    }
    if (bytes[1] == ldreport::kWriteRam) Check(length == ldreport::kWriteRamLength && bytes[2] < 8);
  }
}

void CheckState(const LdDisplay& d) {
  const LDParser& p = d.m_Parser;
  Check(d.m_Cursor < LdDisplay::kPositions);
  Check(p.m_Count >= 0 && p.m_Count <= LDParser::kDataSize);
  Check(p.m_Expected >= 0 && p.m_Expected <= LDParser::kScrollMessageMax);
  if (p.m_CollectMode != 0) Check(p.m_Count <= p.m_Expected);
  Check(p.m_CollectMode == 0 || p.m_CollectMode == 8 || p.m_CollectMode == 10);
  Check(d.m_ScrollMessageLength >= 0 && d.m_ScrollMessageLength <= LDParser::kScrollMessageMax);
  Check(d.m_ScrollOffset >= 0 && d.m_ScrollOffset < d.m_ScrollMessageLength + LdDisplay::kColumns);
  Check(d.m_BlankCharacter == 0x20 || d.m_BlankCharacter == 0x07);
  if (p.m_LogicControlMode) {
    // In LCM the only code below 0x20 is the user character's location.
    for (BYTE c : d.m_DisplayImage) Check(c >= 0x20 || c == LdDisplay::kLcmUserLocation);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  LdDisplay display;
  std::size_t i = 0;
  // Each chunk starts with a control byte: its low 6 bits give the length of
  // the hand-over, its top bit asks for scrolling steps, the next one for the
  // device to go and come back.
  while (i < size) {
    const BYTE control = data[i++];
    const std::size_t length = control & 0x3F;
    const std::size_t take = length < size - i ? length : size - i;
    CheckActions(display.ApplyHandOver(data + i, take));
    i += take;
    CheckState(display);
    if ((control & 0x80) != 0 && display.Scrolling()) {
      for (int step = 0; step < 3; ++step) CheckActions(display.ScrollStep());
      CheckState(display);
    }
    if ((control & 0x40) != 0) {
      CheckActions(display.DeviceLost());
      CheckState(display);
      CheckActions(display.DeviceArrived());
    }
  }
  return 0;
}
