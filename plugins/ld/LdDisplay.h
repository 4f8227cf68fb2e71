#pragma once
// The emulated 2 x 20 line display: image, cursor, blank character, wrap and
// vertical scroll, the user-defined characters of both command sets and the
// scrolling message's state. A plain model: each operation changes the state
// and returns, in order, what its manager must do (send reports, pause, stop
// or start the scrolling message). It owns no thread, lock or device; the
// manager calls it under its own lock and carries the actions out.
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "platform/WinTypes.h"
#include "plugins/ld/LDParser.h"
#include "plugins/ld/LdReports.h"

// The reports the display sends; the manager logs each by its kind.
enum class LdReport : std::uint8_t {
  StatusRequest,
  DeviceInformationRequest,
  ClearTopLine,
  ClearBottomLine,
  WriteTopLine,
  WriteBottomLine,
  WriteRam,
  SelectCharacterSet,
  GetCharacterSetList,
};

// Only the fields its type names hold a value.
struct LdAction {
  enum class Type : std::uint8_t {
    Send,         // the report in bytes[0..length)
    Pause,        // wait pauseMs (the self-test's pacing)
    StopScroll,   // no message scrolls any more (sent when one may have)
    StartScroll,  // the scroll window holds a new message: step it
  };
  Type type = Type::Send;
  LdReport report = LdReport::WriteTopLine;
  std::uint8_t length = 0;
  std::array<BYTE, ldreport::kLineReportLength> bytes{};
  DWORD pauseMs = 0;
  // Send: logged as an error when the report could not be sent (or null).
  const char* failureLog = nullptr;
};

// Valid until the next operation on the same display.
using LdActions = std::span<const LdAction>;

class LdDisplay {
 public:
  static constexpr int kPositions = 40;
  static constexpr int kColumns = 20;
  static constexpr int kScrollWindowSize = 84;
  static constexpr int kScrollLead = 19;
  static constexpr BYTE kLcmUserLocation = 7;

  LdDisplay();

  // One hand-over: every byte through the parser, then each changed line sent
  // once.
  LdActions ApplyHandOver(const BYTE* data, std::size_t length);

  // A display was found: the status request first (the manager checks that
  // it went out), then the character-set list, the device information and
  // both lines as they stand.
  LdActions DeviceArrived();
  // The display went away: the message stops and the state is cleared.
  LdActions DeviceLost();

  // One step of the scrolling message: shows the window at the scroll offset
  // on the top line, sends it and advances the offset. Nothing while no
  // message scrolls.
  LdActions ScrollStep();
  // The message stops (its stepping ended): forget it.
  LdActions StopScroll();
  bool Scrolling() const { return m_Scrolling; }

  // Clears the display state; the reset reports when send.
  LdActions ResetDisplay(bool send);

  BYTE GetWriteRamLocation(BYTE code);

  LDParser m_Parser;
  BYTE m_BlankCharacter = 0x20;
  std::int32_t m_ScrollMessageLength = 0;
  std::int32_t m_ScrollOffset = 0;
  BYTE m_ScrollWindow[kScrollWindowSize];
  BYTE m_DisplayImage[kPositions];
  BYTE m_Cursor = 0;
  BYTE m_OrvidPatterns[8][8] = {};
  BYTE m_LcmUserCharacter = 0;
  BYTE m_LcmPattern[8] = {};

 private:
  struct HandOverFlags {
    bool userCharactersChanged = false;
    bool characterSetChanged = false;
  };

  // Starts a new list of actions for one operation.
  void Begin() { m_ActionCount = 0; }
  LdActions Actions() const { return {m_Actions.data(), m_ActionCount}; }
  // The next action of the list, its type set. The slots stay from one
  // operation to the next: a hand-over of one byte neither allocates nor
  // clears a whole action, so only the fields its type uses are written.
  LdAction& Append(LdAction::Type type) {
    if (m_ActionCount == m_Actions.size()) GrowActions();
    LdAction& action = m_Actions[m_ActionCount++];
    action.type = type;
    return action;
  }
  // Out of line: inlined, its allocation path would cost every append.
  [[gnu::noinline]] void GrowActions();

  void ApplyResult(std::int32_t result, BYTE b, HandOverFlags& flags);
  void ShowCharacter(std::int32_t result, BYTE b);
  void SelectEmulationMode(HandOverFlags& flags);
  void SelectCharacterSetCommand(HandOverFlags& flags);
  void DefineUserCharacter(HandOverFlags& flags);
  void StartScrollingMessage();
  // Inline: every character on the top line stops the message.
  void StopScrollingMessage() {
    if (m_Scrolling) ForgetMessage();
    m_Scrolling = false;
    // One stop stands for a run of them.
    if (m_ActionCount != 0 && m_Actions[m_ActionCount - 1].type == LdAction::Type::StopScroll) return;
    Append(LdAction::Type::StopScroll);
  }
  void ForgetMessage();
  void Backspace();
  void CursorRight();
  void LineFeed();
  void CarriageReturn();
  void DisplayPosition();
  void Reset(bool send);
  void SelfTest();

  bool CursorOnTopLine() const { return m_Cursor < kColumns; }
  void ScrollUp();
  void FillTopLine(BYTE code);
  // Replaces every `from` in the image and the scroll window.
  void ReplaceCode(BYTE from, BYTE to);
  // The LCM user character's positions show its own code again.
  void GiveBackLcmUserCharacter();
  // The LCM user character's code shows RAM location 7 wherever it stands.
  void TakeLcmUserCharacter();

  // Appends a report of length bytes, its bytes still to be written.
  LdAction& StartSend(LdReport report, std::size_t length);
  // Appends one report.
  LdAction& Send(LdReport report, const BYTE* bytes, std::size_t length);
  void SendLine(LdReport report);
  void SendRam(BYTE location, const BYTE* rows);
  LdAction& SendCharacterSet(BYTE characterSet);
  void Pause(DWORD milliseconds);

  bool m_Scrolling = false;
  std::vector<LdAction> m_Actions;
  std::size_t m_ActionCount = 0;
};
