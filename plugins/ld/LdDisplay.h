#pragma once
// The emulated 2 x 20 line display: image, cursor, blank character, wrap and
// vertical scroll, the user-defined characters of both command sets and the
// scrolling message's state. It applies the parser's results and asks its host
// to send the reports; it owns no thread and no device, so the scrolling
// message's step and the self-test's pauses are driven by the host.
#include <cstddef>
#include <cstdint>

#include "platform/WinTypes.h"
#include "plugins/ld/LDParser.h"

// What the emulation needs from the display manager.
class ILdDisplayHost {
 public:
  // Sends one report; 1 if it was sent, 0 if not.
  virtual int SendCommand(const BYTE* bytes, DWORD length) = 0;
  // Returns once no message scrolls any more (at once when none does).
  virtual void StopScrollingMessage() = 0;
  // The scroll window holds a new message: let the scrolling thread run.
  virtual void ScrollingMessageReady() = 0;
  // The self-test's pacing.
  virtual void Pause(DWORD milliseconds) = 0;

 protected:
  ~ILdDisplayHost() = default;
};

class LdDisplay {
 public:
  static constexpr int kPositions = 40;
  static constexpr int kColumns = 20;
  static constexpr int kScrollWindowSize = 84;
  static constexpr int kScrollLead = 19;
  static constexpr BYTE kLcmUserLocation = 7;

  explicit LdDisplay(ILdDisplayHost& host);

  // One hand-over: every byte through the parser, then each changed line sent
  // once.
  void ApplyHandOver(const BYTE* data, std::size_t length);

  // One step of the scrolling message: shows the window at the scroll offset
  // on the top line, sends it and advances the offset.
  void ScrollStep();
  // The scrolling thread has stopped: forget the message.
  void ScrollStopped();

  void ResetDisplay(bool send);
  void DisplaySelfTest();
  BYTE GetWriteRamLocation(BYTE code);

  // Report operations; each returns 1 if the report was sent.
  int StatusRequest();
  int DeviceInformationRequest();
  int ClearTopLine();
  int ClearBottomLine();
  int WriteTopLine();
  int WriteBottomLine();
  int WriteRam(BYTE location, const BYTE* rows);
  int SelectCharacterSet(BYTE characterSet);
  int GetCharacterSetList();

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

  void ApplyResult(std::int32_t result, BYTE b, HandOverFlags& flags);
  void ShowCharacter(std::int32_t result, BYTE b);
  void SelectEmulationMode(HandOverFlags& flags);
  void SelectCharacterSetCommand(HandOverFlags& flags);
  void DefineUserCharacter(HandOverFlags& flags);
  void StartScrollingMessage();
  void Backspace();
  void CursorRight();
  void LineFeed();
  void CarriageReturn();
  void DisplayPosition();

  bool CursorOnTopLine() const { return m_Cursor < kColumns; }
  void ScrollUp();
  void FillTopLine(BYTE code);
  // Replaces every `from` in the image and the scroll window.
  void ReplaceCode(BYTE from, BYTE to);
  // The LCM user character's positions show its own code again.
  void GiveBackLcmUserCharacter();
  // The LCM user character's code shows RAM location 7 wherever it stands.
  void TakeLcmUserCharacter();

  ILdDisplayHost& m_Host;
};
