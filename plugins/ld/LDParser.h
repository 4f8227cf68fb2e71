#pragma once
// The serial display command sets ("Logic Control Mode" and "Orvid Mode"):
// turns the application's byte stream into one parse result per byte. Holds
// only the command-set state; the display manager acts on the results, reads
// the collected argument and data, and changes the mode flags.
#include <cstdint>

#include "platform/WinTypes.h"

// The result numbers are logged, so they are fixed.
enum ParseResult : std::int32_t {
  PR_NONE = 0,
  PR_CHARACTER = 1,
  PR_USER_CHARACTER = 2,
  PR_COMMAND_ACCEPTED = 3,
  PR_CONSUMED = 4,
  PR_MESSAGE_SCROLL_START = 5,
  PR_EMULATION_MODE = 6,
  PR_CHARACTER_SET = 7,
  PR_USER_CHARACTER_DEFINED = 8,
  PR_COMMAND_04 = 9,
  PR_MESSAGE_SCROLL_END = 10,
  PR_BACKSPACE = 11,
  PR_CURSOR_RIGHT = 12,
  PR_LINE_FEED = 13,
  PR_CARRIAGE_RETURN = 14,
  PR_SELF_TEST = 15,
  PR_DISPLAY_POSITION = 16,
  PR_NORMAL_DISPLAY = 17,
  PR_VERTICAL_SCROLL = 18,
  PR_COMMAND_13 = 19,
  PR_COMMAND_14 = 20,
  PR_RESET = 21,
};

class LDParser {
 public:
  static constexpr int kDataSize = 45;
  static constexpr int kCollectUserCharacter = 8;
  static constexpr int kCollectScrollMessage = 10;
  static constexpr int kLcmPatternBytes = 5;
  static constexpr int kOrvidPatternBytes = 8;
  static constexpr int kScrollMessageMax = 45;

  std::int32_t ParseData(BYTE b);
  // 1 displayable, 2 user-defined character code, 0 neither.
  int IsValidCharacter(BYTE b);
  // Rewrite the collected definition into 8 device pattern rows in m_Data.
  void ConvertLogicControlPattern();
  void ConvertOrvidPattern();

  // Forget a consumed collection so the next one starts at count 0.
  void ClearCollection();
  // Everything but the two mode flags, which go back to their defaults.
  void Reset();

  // Read and written by the display manager directly.
  bool m_LogicControlMode = true;
  bool m_VerticalScroll = true;
  std::int32_t m_PendingCommand = 0;
  BYTE m_CommandByte = 0;
  std::int32_t m_CollectMode = 0;
  std::int32_t m_Count = 0;
  std::int32_t m_Expected = 0;
  BYTE m_Data[kDataSize] = {};
  BYTE m_UserCharacter = 0;

 private:
  std::int32_t LookUpCommand(BYTE b);
};
