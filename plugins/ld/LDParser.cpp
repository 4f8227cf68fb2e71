#include "plugins/ld/LDParser.h"

#include <cstring>

#include "plugins/ld/LdLog.h"

int LDParser::IsValidCharacter(BYTE b) {
  if (m_LogicControlMode) {
    if (m_UserCharacter != 0 && b == m_UserCharacter) return 2;
    return b >= 0x20 ? 1 : 0;
  }
  if (b >= 0x20) return 1;
  if ((b >= 0x15 && b <= 0x1A) || b == 0x1C || b == 0x1D) return 2;
  if (b == 0x1E) {
    LdLog(LEVEL_INFO, "LDParser::IsValidCharacter - ZOL does not support Orvid Mode 0x1E as valid character");
  }
  return 0;
}

void LDParser::ClearCollection() {
  m_Count = 0;
  m_Expected = 0;
  std::memset(m_Data, 0, sizeof m_Data);
}

void LDParser::Reset() {
  m_LogicControlMode = true;
  m_VerticalScroll = true;
  m_PendingCommand = 0;
  m_CommandByte = 0;
  m_CollectMode = 0;
  ClearCollection();
  m_UserCharacter = 0;
}

std::int32_t LDParser::ParseData(BYTE b) {
  if (m_PendingCommand != 0) {
    m_CommandByte = b;
    const std::int32_t pending = m_PendingCommand;
    m_PendingCommand = 0;
    return m_CollectMode != 0 ? PR_CONSUMED : pending;
  }

  if (m_CollectMode == kCollectUserCharacter) {
    if (m_Count >= m_Expected || m_Count >= kDataSize) {
      LdLog(LEVEL_ERROR, "LDParser::ParseData - Exceeded user character expected bytes");
      m_CollectMode = 0;
      ClearCollection();
      return PR_NONE;
    }
    m_Data[m_Count++] = b;
    if (m_Count == m_Expected) {
      m_CollectMode = 0;
      return PR_USER_CHARACTER_DEFINED;
    }
    return PR_CONSUMED;
  }

  if (m_CollectMode == kCollectScrollMessage) {
    if (b == 0x0D) {
      m_CollectMode = 0;
      return PR_MESSAGE_SCROLL_END;
    }
    if (m_Count >= m_Expected || m_Count >= kDataSize) {
      LdLog(LEVEL_INFO, "LDParser::ParseData - Discarding data after 45th message scroll character");
      return PR_CONSUMED;
    }
    if (IsValidCharacter(b) != 0) {
      m_Data[m_Count++] = b;
    } else {
      LdLog(LEVEL_INFO, "LDParser::ParseData - Discarding invalid message scroll character");
    }
    return PR_CONSUMED;
  }

  const int character = IsValidCharacter(b);
  if (character == 1 || character == 2) return character;
  return LookUpCommand(b);
}

std::int32_t LDParser::LookUpCommand(BYTE b) {
  switch (b) {
    case 0x00:
      m_PendingCommand = PR_EMULATION_MODE;
      return PR_COMMAND_ACCEPTED;
    case 0x02:
      if (m_LogicControlMode) return PR_NONE;
      m_PendingCommand = PR_CHARACTER_SET;
      return PR_COMMAND_ACCEPTED;
    case 0x03:
      // A new collection always starts empty, even if the last one was not
      // consumed.
      ClearCollection();
      m_PendingCommand = PR_USER_CHARACTER_DEFINED;
      m_CollectMode = kCollectUserCharacter;
      m_Expected = m_LogicControlMode ? kLcmPatternBytes : kOrvidPatternBytes;
      return PR_COMMAND_ACCEPTED;
    case 0x04:
      m_PendingCommand = PR_COMMAND_04;
      return PR_COMMAND_ACCEPTED;
    case 0x05:
      ClearCollection();
      m_CollectMode = kCollectScrollMessage;
      m_Expected = kScrollMessageMax;
      return PR_MESSAGE_SCROLL_START;
    case 0x08: return PR_BACKSPACE;
    case 0x09: return PR_CURSOR_RIGHT;
    case 0x0A: return PR_LINE_FEED;
    case 0x0D: return PR_CARRIAGE_RETURN;
    case 0x0F: return PR_SELF_TEST;
    case 0x10:
      m_PendingCommand = PR_DISPLAY_POSITION;
      return PR_COMMAND_ACCEPTED;
    case 0x11: return PR_NORMAL_DISPLAY;
    case 0x12: return PR_VERTICAL_SCROLL;
    case 0x13: return PR_COMMAND_13;
    case 0x14: return PR_COMMAND_14;
    case 0x1F: return PR_RESET;
    default: return PR_NONE;
  }
}

void LDParser::ConvertLogicControlPattern() {
  BYTE rows[8] = {};
  for (int r = 0; r < 7; ++r) {
    BYTE row = 0;
    for (int d = 0; d < 5; ++d) {
      const int k = 5 * r + d;
      const int bit = (m_Data[k / 8] >> (k % 8)) & 1;
      row |= static_cast<BYTE>(bit << (4 - d));
    }
    rows[r] = row;
  }
  std::memcpy(m_Data, rows, sizeof rows);
}

void LDParser::ConvertOrvidPattern() {
  BYTE rows[8] = {};
  for (int r = 0; r < 7; ++r) {
    const BYTE q = m_Data[r];
    BYTE row = 0;
    // Bits 3..7 of the serial byte become the dots left to right.
    for (int d = 0; d < 5; ++d) row |= static_cast<BYTE>(((q >> (3 + d)) & 1) << (4 - d));
    rows[r] = row;
  }
  std::memcpy(m_Data, rows, sizeof rows);
}
