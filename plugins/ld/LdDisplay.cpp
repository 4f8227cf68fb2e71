#include "plugins/ld/LdDisplay.h"

#include <algorithm>
#include <cstring>

#include "plugins/ld/LdLog.h"
#include "plugins/ld/LdReports.h"

LdDisplay::LdDisplay(ILdDisplayHost& host) : m_Host(host) {
  std::memset(m_ScrollWindow, m_BlankCharacter, sizeof m_ScrollWindow);
  std::memset(m_DisplayImage, m_BlankCharacter, sizeof m_DisplayImage);
  LdLog(3, "LDParser::SetLogicControlMode - Logic Control Mode selected");
  LdLog(3, "LDParser::SetVerticalScroll - Vertical Scroll selected");
}

void LdDisplay::ApplyHandOver(const BYTE* data, std::size_t length) {
  BYTE before[kPositions];
  std::memcpy(before, m_DisplayImage, sizeof before);
  HandOverFlags flags;
  for (std::size_t i = 0; i < length; ++i) {
    const std::int32_t result = m_Parser.ParseData(data[i]);
    LdLog(5, "HidLdManager::ProcessReceiveBuffer - Processing case %d", result);
    ApplyResult(result, data[i], flags);
  }
  const bool forced = flags.userCharactersChanged || flags.characterSetChanged;
  if (forced || std::memcmp(before, m_DisplayImage, kColumns) != 0) WriteTopLine();
  if (forced || std::memcmp(before + kColumns, m_DisplayImage + kColumns, kColumns) != 0) {
    WriteBottomLine();
  }
}

void LdDisplay::ApplyResult(std::int32_t result, BYTE b, HandOverFlags& flags) {
  switch (result) {
    case PR_CHARACTER:
    case PR_USER_CHARACTER:
      ShowCharacter(result, b);
      break;
    case PR_MESSAGE_SCROLL_START:
      m_Host.StopScrollingMessage();
      FillTopLine(m_BlankCharacter);
      break;
    case PR_EMULATION_MODE: SelectEmulationMode(flags); break;
    case PR_CHARACTER_SET: SelectCharacterSetCommand(flags); break;
    case PR_USER_CHARACTER_DEFINED: DefineUserCharacter(flags); break;
    case PR_MESSAGE_SCROLL_END:
      if (CursorOnTopLine()) m_Cursor = kColumns;
      StartScrollingMessage();
      break;
    case PR_BACKSPACE: Backspace(); break;
    case PR_CURSOR_RIGHT: CursorRight(); break;
    case PR_LINE_FEED: LineFeed(); break;
    case PR_CARRIAGE_RETURN: CarriageReturn(); break;
    case PR_SELF_TEST:
      m_Host.StopScrollingMessage();
      DisplaySelfTest();
      ResetDisplay(true);
      break;
    case PR_DISPLAY_POSITION: DisplayPosition(); break;
    case PR_NORMAL_DISPLAY:
      LdLog(3, "LDParser::SetNormalDisplay - Normal Display selected");
      m_Parser.m_VerticalScroll = false;
      break;
    case PR_VERTICAL_SCROLL:
      LdLog(3, "LDParser::SetVerticalScroll - Vertical Scroll selected");
      m_Parser.m_VerticalScroll = true;
      break;
    case PR_RESET:
      m_Host.StopScrollingMessage();
      ResetDisplay(true);
      break;
    default:
      break;
  }
}

void LdDisplay::ShowCharacter(std::int32_t result, BYTE b) {
  BYTE code = b;
  if (result == PR_USER_CHARACTER) {
    code = m_Parser.m_LogicControlMode ? kLcmUserLocation : GetWriteRamLocation(b);
  }
  if (CursorOnTopLine()) m_Host.StopScrollingMessage();
  m_DisplayImage[m_Cursor] = code;
  ++m_Cursor;
  if (m_Cursor < kPositions) return;
  if (m_Parser.m_VerticalScroll) {
    // Stopped before the top line changes, so no scroll step overwrites it.
    m_Host.StopScrollingMessage();
    ScrollUp();
    m_Cursor = kColumns;
  } else {
    m_Cursor = 0;
  }
}

void LdDisplay::SelectEmulationMode(HandOverFlags& flags) {
  const BYTE mode = m_Parser.m_CommandByte;
  const bool wasLcm = m_Parser.m_LogicControlMode;
  if (mode == 0) {
    LdLog(3, "LDParser::SetLogicControlMode - Logic Control Mode selected");
    // Re-selecting the active set keeps the user character where it shows.
    if (wasLcm && m_LcmUserCharacter != 0) GiveBackLcmUserCharacter();
    m_Parser.m_LogicControlMode = true;
    m_BlankCharacter = 0x20;
    for (BYTE code = 0; code <= 7; ++code) ReplaceCode(code, m_BlankCharacter);
    if (m_LcmUserCharacter != 0) {
      TakeLcmUserCharacter();
      WriteRam(kLcmUserLocation, m_LcmPattern);
      flags.userCharactersChanged = true;
    }
    SelectCharacterSet(ldreport::kDefaultCharacterSet);
    flags.characterSetChanged = true;
  } else if (mode == 1) {
    LdLog(3, "LDParser::SetOrvidMode - Orvid Mode selected");
    m_Parser.m_LogicControlMode = false;
    m_BlankCharacter = 0x20;
    // Only on leaving LCM: in Orvid Mode a 7 is the user character 0x1D.
    if (wasLcm && m_LcmUserCharacter != 0) ReplaceCode(kLcmUserLocation, m_LcmUserCharacter);
    for (BYTE location = 0; location < 8; ++location) WriteRam(location, m_OrvidPatterns[location]);
    flags.userCharactersChanged = true;
  } else {
    LdLog(3, "HidLdManager::ProcessReceiveBuffer - Command Byte = %d; Invalid emulation mode command", mode);
  }
}

void LdDisplay::SelectCharacterSetCommand(HandOverFlags& flags) {
  const BYTE argument = m_Parser.m_CommandByte;
  if (argument > 11) {
    LdLog(3, "HidLdManager::ProcessReceiveBuffer - Command Byte = %d; Invalid character set select command",
          argument);
    return;
  }
  const BYTE set = argument == 0 ? ldreport::kDefaultCharacterSet : argument;
  if (SelectCharacterSet(set) == 0) LdLog(1, "HidLdManager::ProcessReceiveBuffer - SelectCharacterSet failed");
  flags.characterSetChanged = true;
}

void LdDisplay::DefineUserCharacter(HandOverFlags& flags) {
  const BYTE code = m_Parser.m_CommandByte;
  if (m_Parser.m_LogicControlMode) {
    if (code < 0x20 || code > 0x7F) {
      LdLog(3, "HidLdManager::ProcessReceiveBuffer - LCM Invalid user character definition command");
    } else {
      if (m_LcmUserCharacter != 0) GiveBackLcmUserCharacter();
      m_Parser.ConvertLogicControlPattern();
      m_Parser.m_UserCharacter = code;
      m_LcmUserCharacter = code;
      std::memcpy(m_LcmPattern, m_Parser.m_Data, sizeof m_LcmPattern);
      WriteRam(kLcmUserLocation, m_LcmPattern);
      TakeLcmUserCharacter();
      flags.userCharactersChanged = true;
    }
  } else if ((code >= 0x15 && code <= 0x1A) || code == 0x1C || code == 0x1D) {
    m_Parser.ConvertOrvidPattern();
    const BYTE location = GetWriteRamLocation(code);
    std::memcpy(m_OrvidPatterns[location], m_Parser.m_Data, sizeof m_OrvidPatterns[location]);
    WriteRam(location, m_OrvidPatterns[location]);
    flags.userCharactersChanged = true;
  } else if (code == 0x1E) {
    LdLog(3, "HidLdManager::ProcessReceiveBuffer - ZOL does not support Orvid Mode 0x1E user character definition");
  } else {
    LdLog(3,
          "HidLdManager::ProcessReceiveBuffer - Command Byte = %d; Orvid Mode invalid user character definition "
          "command",
          code);
  }
  m_Parser.ClearCollection();
}

void LdDisplay::GiveBackLcmUserCharacter() {
  if (m_LcmUserCharacter == 0x20) m_BlankCharacter = 0x20;
  ReplaceCode(kLcmUserLocation, m_LcmUserCharacter);
}

void LdDisplay::TakeLcmUserCharacter() {
  if (m_LcmUserCharacter == 0x20) m_BlankCharacter = kLcmUserLocation;
  ReplaceCode(m_LcmUserCharacter, kLcmUserLocation);
}

void LdDisplay::StartScrollingMessage() {
  const int count = std::clamp<int>(m_Parser.m_Count, 0, LDParser::kScrollMessageMax);
  std::memset(m_ScrollWindow, m_BlankCharacter, sizeof m_ScrollWindow);
  std::memcpy(m_ScrollWindow + kScrollLead, m_Parser.m_Data, static_cast<std::size_t>(count));
  m_ScrollMessageLength = count;
  m_ScrollOffset = 0;
  for (BYTE& code : m_ScrollWindow) {
    if (m_Parser.m_LogicControlMode) {
      if (m_LcmUserCharacter != 0 && code == m_LcmUserCharacter) code = kLcmUserLocation;
    } else if (code >= 0x15 && code <= 0x1A) {
      code = static_cast<BYTE>(code - 0x15);
    } else if (code == 0x1C) {
      code = 6;
    } else if (code == 0x1D) {
      code = 7;
    }
  }
  m_Parser.ClearCollection();
  m_Host.ScrollingMessageReady();
}

void LdDisplay::ScrollStep() {
  const int offset = std::clamp<int>(m_ScrollOffset, 0, kScrollWindowSize - kColumns);
  std::memcpy(m_DisplayImage, m_ScrollWindow + offset, kColumns);
  WriteTopLine();
  ++m_ScrollOffset;
  if (m_ScrollOffset >= m_ScrollMessageLength + kColumns) m_ScrollOffset = 0;
}

void LdDisplay::ScrollStopped() {
  m_ScrollMessageLength = 0;
  m_ScrollOffset = 0;
  std::memset(m_ScrollWindow, m_BlankCharacter, sizeof m_ScrollWindow);
}

void LdDisplay::Backspace() {
  if (CursorOnTopLine()) m_Host.StopScrollingMessage();
  if (m_Cursor == 0) {
    m_Cursor = kPositions - 1;
  } else if (m_Cursor == kColumns) {
    m_Cursor = kColumns - 1;
    // The character the scrolling message shows at top position 19.
    if (m_ScrollMessageLength > 0) {
      const int index = m_ScrollOffset + kColumns - 2;
      if (index >= 0 && index < kScrollWindowSize) m_ScrollWindow[index] = m_BlankCharacter;
    }
  } else {
    --m_Cursor;
  }
  m_DisplayImage[m_Cursor] = m_BlankCharacter;
}

void LdDisplay::CursorRight() {
  if (CursorOnTopLine()) m_Host.StopScrollingMessage();
  if (m_Cursor == kColumns - 1) {
    m_Cursor = kColumns;
  } else if (m_Cursor == kPositions - 1) {
    if (m_Parser.m_VerticalScroll) {
      m_Host.StopScrollingMessage();
      ScrollUp();
      m_Cursor = kColumns;
    } else {
      m_Cursor = 0;
    }
  } else {
    ++m_Cursor;
  }
}

void LdDisplay::LineFeed() {
  if (CursorOnTopLine()) {
    m_Cursor = static_cast<BYTE>(m_Cursor + kColumns);
    m_Host.StopScrollingMessage();
  } else if (m_Parser.m_VerticalScroll) {
    m_Host.StopScrollingMessage();
    ScrollUp();
  } else {
    m_Cursor = static_cast<BYTE>(m_Cursor - kColumns);
  }
}

void LdDisplay::CarriageReturn() {
  if (CursorOnTopLine()) {
    m_Cursor = 0;
    m_Host.StopScrollingMessage();
  } else {
    m_Cursor = kColumns;
  }
}

void LdDisplay::DisplayPosition() {
  const BYTE position = m_Parser.m_CommandByte;
  if (position > kPositions - 1) {
    LdLog(3, "HidLdManager::ProcessReceiveBuffer - Command Byte = %d; Invalid display position command", position);
    return;
  }
  if (CursorOnTopLine()) m_Host.StopScrollingMessage();
  m_Cursor = position;
}

void LdDisplay::ScrollUp() {
  std::memcpy(m_DisplayImage, m_DisplayImage + kColumns, kColumns);
  std::memset(m_DisplayImage + kColumns, m_BlankCharacter, kColumns);
}

void LdDisplay::FillTopLine(BYTE code) { std::memset(m_DisplayImage, code, kColumns); }

void LdDisplay::ReplaceCode(BYTE from, BYTE to) {
  std::replace(std::begin(m_DisplayImage), std::end(m_DisplayImage), from, to);
  std::replace(std::begin(m_ScrollWindow), std::end(m_ScrollWindow), from, to);
}

void LdDisplay::ResetDisplay(bool send) {
  m_BlankCharacter = 0x20;
  LdLog(3, "LDParser::SetLogicControlMode - Logic Control Mode selected");
  LdLog(3, "LDParser::SetVerticalScroll - Vertical Scroll selected");
  m_Parser.Reset();
  m_Cursor = 0;
  std::memset(m_DisplayImage, m_BlankCharacter, sizeof m_DisplayImage);
  m_ScrollMessageLength = 0;
  m_ScrollOffset = 0;
  std::memset(m_ScrollWindow, m_BlankCharacter, sizeof m_ScrollWindow);
  m_LcmUserCharacter = 0;
  std::memset(m_LcmPattern, 0, sizeof m_LcmPattern);
  if (send) {
    ClearTopLine();
    ClearBottomLine();
    SelectCharacterSet(ldreport::kDefaultCharacterSet);
  }
}

void LdDisplay::DisplaySelfTest() {
  std::memset(m_DisplayImage, 0x20, sizeof m_DisplayImage);
  for (int i = 0; i < kPositions; ++i) {
    m_DisplayImage[i] = static_cast<BYTE>(0x20 + i);
    WriteTopLine();
    WriteBottomLine();
    m_Host.Pause(100);
  }
  const BYTE solid[8] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  WriteRam(kLcmUserLocation, solid);
  std::memset(m_DisplayImage, kLcmUserLocation, sizeof m_DisplayImage);
  WriteTopLine();
  WriteBottomLine();
  m_Host.Pause(2000);
}

BYTE LdDisplay::GetWriteRamLocation(BYTE code) {
  switch (code) {
    case 0x15: return 0;
    case 0x16: return 1;
    case 0x17: return 2;
    case 0x18: return 3;
    case 0x19: return 4;
    case 0x1A: return 5;
    case 0x1C: return 6;
    case 0x1D: return 7;
    default:
      LdLog(2, "HidLdManager::GetWriteRamLocation - Wrong WriteRam location (%c) received", code);
      return 0;
  }
}

int LdDisplay::StatusRequest() {
  LdLog(4, "HidLdManager::StatusRequest - Send Status Request");
  const BYTE report[] = {0x00, 0x00, 0x20};
  return m_Host.SendCommand(report, sizeof report);
}

int LdDisplay::DeviceInformationRequest() {
  LdLog(4, "HidLdManager::DeviceInformationRequest - Send Device Information Request");
  const BYTE report[] = {0x00, 0x00, 0x00, 0x01};
  return m_Host.SendCommand(report, sizeof report);
}

int LdDisplay::ClearTopLine() {
  LdLog(4, "HidLdManager::ClearTopLine - Send Clear Top Line");
  const BYTE report[] = {0x00, ldreport::kClearTopLine, m_Cursor};
  return m_Host.SendCommand(report, sizeof report);
}

int LdDisplay::ClearBottomLine() {
  LdLog(4, "HidLdManager::ClearBottomLine - Send Clear Bottom Line");
  const BYTE report[] = {0x00, ldreport::kClearBottomLine, m_Cursor};
  return m_Host.SendCommand(report, sizeof report);
}

int LdDisplay::WriteTopLine() {
  LdLog(4, "HidLdManager::WriteTopLine - Send Write Top Line");
  const auto report = ldreport::Line(ldreport::kWriteTopLine, m_DisplayImage);
  return m_Host.SendCommand(report.data(), static_cast<DWORD>(report.size()));
}

int LdDisplay::WriteBottomLine() {
  LdLog(4, "HidLdManager::WriteBottomLine - Send Write Bottom Line");
  const auto report = ldreport::Line(ldreport::kWriteBottomLine, m_DisplayImage + kColumns);
  return m_Host.SendCommand(report.data(), static_cast<DWORD>(report.size()));
}

int LdDisplay::WriteRam(BYTE location, const BYTE* rows) {
  LdLog(4, "HidLdManager::WriteRam - Send Write Ram");
  const auto report = ldreport::WriteRam(location, rows);
  return m_Host.SendCommand(report.data(), static_cast<DWORD>(report.size()));
}

int LdDisplay::SelectCharacterSet(BYTE characterSet) {
  LdLog(4, "HidLdManager::SelectCharacterSet - Send Select Character Set");
  const BYTE report[] = {0x00, ldreport::kSelectCharacterSet, characterSet};
  return m_Host.SendCommand(report, sizeof report);
}

int LdDisplay::GetCharacterSetList() {
  LdLog(4, "GetCharacterSetList::Reset - Send Get Character Set List");
  const BYTE report[] = {0x00, ldreport::kGetCharacterSetList};
  return m_Host.SendCommand(report, sizeof report);
}
