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

class CheckingHost : public ILdDisplayHost {
 public:
  int SendCommand(const BYTE* bytes, DWORD length) override {
    Check(length >= 2 && length <= ldreport::kLineReportLength);
    Check(bytes[0] == 0x00);
    if (bytes[1] == ldreport::kWriteTopLine || bytes[1] == ldreport::kWriteBottomLine) {
      Check(length == ldreport::kLineReportLength);
      unsigned sum = 0;
      for (DWORD i = 0; i + 1 < length; ++i) sum += bytes[i];
      Check(bytes[length - 1] == static_cast<BYTE>(sum));
    }
    if (bytes[1] == ldreport::kWriteRam) Check(length == ldreport::kWriteRamLength && bytes[2] < 8);
    return sendResult;
  }
  void StopScrollingMessage() override {
    if (scrolling) display->ScrollStopped();
    scrolling = false;
  }
  void ScrollingMessageReady() override { scrolling = true; }
  void Pause(DWORD) override {}

  LdDisplay* display = nullptr;
  bool scrolling = false;
  int sendResult = 1;
};

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
  CheckingHost host;
  LdDisplay display(host);
  host.display = &display;
  std::size_t i = 0;
  // Each chunk starts with a control byte: its low 6 bits give the length of
  // the hand-over, its top bits ask for scrolling steps or a failing device.
  while (i < size) {
    const BYTE control = data[i++];
    const std::size_t length = control & 0x3F;
    host.sendResult = (control & 0x80) != 0 ? 0 : 1;
    const std::size_t take = length < size - i ? length : size - i;
    display.ApplyHandOver(data + i, take);
    i += take;
    CheckState(display);
    if ((control & 0x40) != 0 && host.scrolling) {
      for (int step = 0; step < 3; ++step) display.ScrollStep();
      CheckState(display);
    }
  }
  return 0;
}
