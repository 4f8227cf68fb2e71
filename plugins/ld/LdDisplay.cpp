#include "plugins/ld/LdDisplay.h"

#include <algorithm>
#include <cstring>

#include "plugins/ld/LdLog.h"

LdDisplay::LdDisplay() {
  std::memset(m_ScrollWindow, m_BlankCharacter, sizeof m_ScrollWindow);
  std::memset(m_DisplayImage, m_BlankCharacter, sizeof m_DisplayImage);
  LdLog(LEVEL_INFO, "LDParser::SetLogicControlMode - Logic Control Mode selected");
  LdLog(LEVEL_INFO, "LDParser::SetVerticalScroll - Vertical Scroll selected");
}

void LdDisplay::GrowActions() { m_Actions.resize(m_Actions.size() * 2 + 8); }

LdActions LdDisplay::ApplyHandOver(const BYTE* data, std::size_t length) {
  Begin();
  BYTE before[kPositions];
  std::memcpy(before, m_DisplayImage, sizeof before);
  HandOverFlags flags;
  for (std::size_t i = 0; i < length; ++i) {
    const std::int32_t result = m_Parser.ParseData(data[i]);
    LdLog(LEVEL_TRACE, "HidLdManager::ProcessReceiveBuffer - Processing case %d", result);
    ApplyResult(result, data[i], flags);
  }
  const bool forced = flags.userCharactersChanged || flags.characterSetChanged;
  if (forced || std::memcmp(before, m_DisplayImage, kColumns) != 0) SendLine(LdReport::WriteTopLine);
  if (forced || std::memcmp(before + kColumns, m_DisplayImage + kColumns, kColumns) != 0) {
    SendLine(LdReport::WriteBottomLine);
  }
  return Actions();
}

LdActions LdDisplay::DeviceArrived() {
  Begin();
  const BYTE status[] = {0x00, 0x00, 0x20};
  Send(LdReport::StatusRequest, status, sizeof status);
  const BYTE list[] = {0x00, ldreport::kGetCharacterSetList};
  Send(LdReport::GetCharacterSetList, list, sizeof list);
  const BYTE information[] = {0x00, 0x00, 0x00, 0x01};
  Send(LdReport::DeviceInformationRequest, information, sizeof information);
  SendLine(LdReport::WriteTopLine);
  SendLine(LdReport::WriteBottomLine);
  return Actions();
}

LdActions LdDisplay::DeviceLost() {
  Begin();
  StopScrollingMessage();
  Reset(false);
  return Actions();
}

LdActions LdDisplay::StopScroll() {
  Begin();
  StopScrollingMessage();
  return Actions();
}

LdActions LdDisplay::ResetDisplay(bool send) {
  Begin();
  Reset(send);
  return Actions();
}

void LdDisplay::ApplyResult(std::int32_t result, BYTE b, HandOverFlags& flags) {
  switch (result) {
    case PR_CHARACTER:
    case PR_USER_CHARACTER:
      ShowCharacter(result, b);
      break;
    case PR_MESSAGE_SCROLL_START:
      StopScrollingMessage();
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
      StopScrollingMessage();
      SelfTest();
      Reset(true);
      break;
    case PR_DISPLAY_POSITION: DisplayPosition(); break;
    case PR_NORMAL_DISPLAY:
      LdLog(LEVEL_INFO, "LDParser::SetNormalDisplay - Normal Display selected");
      m_Parser.m_VerticalScroll = false;
      break;
    case PR_VERTICAL_SCROLL:
      LdLog(LEVEL_INFO, "LDParser::SetVerticalScroll - Vertical Scroll selected");
      m_Parser.m_VerticalScroll = true;
      break;
    case PR_RESET:
      StopScrollingMessage();
      Reset(true);
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
  if (CursorOnTopLine()) StopScrollingMessage();
  m_DisplayImage[m_Cursor] = code;
  ++m_Cursor;
  if (m_Cursor < kPositions) return;
  if (m_Parser.m_VerticalScroll) {
    // The top line changes: no message may show on it any more.
    StopScrollingMessage();
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
    LdLog(LEVEL_INFO, "LDParser::SetLogicControlMode - Logic Control Mode selected");
    // Re-selecting the active set keeps the user character where it shows.
    if (wasLcm && m_LcmUserCharacter != 0) GiveBackLcmUserCharacter();
    m_Parser.m_LogicControlMode = true;
    m_BlankCharacter = 0x20;
    for (BYTE code = 0; code <= 7; ++code) ReplaceCode(code, m_BlankCharacter);
    if (m_LcmUserCharacter != 0) {
      TakeLcmUserCharacter();
      SendRam(kLcmUserLocation, m_LcmPattern);
      flags.userCharactersChanged = true;
    }
    SendCharacterSet(ldreport::kDefaultCharacterSet);
    flags.characterSetChanged = true;
  } else if (mode == 1) {
    LdLog(LEVEL_INFO, "LDParser::SetOrvidMode - Orvid Mode selected");
    m_Parser.m_LogicControlMode = false;
    m_BlankCharacter = 0x20;
    // Only on leaving LCM: in Orvid Mode a 7 is the user character 0x1D.
    if (wasLcm && m_LcmUserCharacter != 0) ReplaceCode(kLcmUserLocation, m_LcmUserCharacter);
    for (BYTE location = 0; location < 8; ++location) SendRam(location, m_OrvidPatterns[location]);
    flags.userCharactersChanged = true;
  } else {
    LdLog(LEVEL_INFO, "HidLdManager::ProcessReceiveBuffer - Command Byte = %d; Invalid emulation mode command", mode);
  }
}

void LdDisplay::SelectCharacterSetCommand(HandOverFlags& flags) {
  const BYTE argument = m_Parser.m_CommandByte;
  if (argument > 11) {
    LdLog(LEVEL_INFO,
          "HidLdManager::ProcessReceiveBuffer - Command Byte = %d; Invalid character set select command", argument);
    return;
  }
  const BYTE set = argument == 0 ? ldreport::kDefaultCharacterSet : argument;
  SendCharacterSet(set).failureLog = "HidLdManager::ProcessReceiveBuffer - SelectCharacterSet failed";
  flags.characterSetChanged = true;
}

void LdDisplay::DefineUserCharacter(HandOverFlags& flags) {
  const BYTE code = m_Parser.m_CommandByte;
  if (m_Parser.m_LogicControlMode) {
    if (code < 0x20 || code > 0x7F) {
      LdLog(LEVEL_INFO, "HidLdManager::ProcessReceiveBuffer - LCM Invalid user character definition command");
    } else {
      if (m_LcmUserCharacter != 0) GiveBackLcmUserCharacter();
      m_Parser.ConvertLogicControlPattern();
      m_Parser.m_UserCharacter = code;
      m_LcmUserCharacter = code;
      std::memcpy(m_LcmPattern, m_Parser.m_Data, sizeof m_LcmPattern);
      SendRam(kLcmUserLocation, m_LcmPattern);
      TakeLcmUserCharacter();
      flags.userCharactersChanged = true;
    }
  } else if ((code >= 0x15 && code <= 0x1A) || code == 0x1C || code == 0x1D) {
    m_Parser.ConvertOrvidPattern();
    const BYTE location = GetWriteRamLocation(code);
    std::memcpy(m_OrvidPatterns[location], m_Parser.m_Data, sizeof m_OrvidPatterns[location]);
    SendRam(location, m_OrvidPatterns[location]);
    flags.userCharactersChanged = true;
  } else if (code == 0x1E) {
    LdLog(LEVEL_INFO,
          "HidLdManager::ProcessReceiveBuffer - ZOL does not support Orvid Mode 0x1E user character definition");
  } else {
    LdLog(LEVEL_INFO,
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
  m_Scrolling = true;
  Append(LdAction::Type::StartScroll);
}

void LdDisplay::ForgetMessage() {
  m_ScrollMessageLength = 0;
  m_ScrollOffset = 0;
  std::memset(m_ScrollWindow, m_BlankCharacter, sizeof m_ScrollWindow);
}

LdActions LdDisplay::ScrollStep() {
  Begin();
  if (!m_Scrolling) return Actions();
  const int offset = std::clamp<int>(m_ScrollOffset, 0, kScrollWindowSize - kColumns);
  std::memcpy(m_DisplayImage, m_ScrollWindow + offset, kColumns);
  SendLine(LdReport::WriteTopLine);
  ++m_ScrollOffset;
  if (m_ScrollOffset >= m_ScrollMessageLength + kColumns) m_ScrollOffset = 0;
  return Actions();
}

void LdDisplay::Backspace() {
  if (CursorOnTopLine()) StopScrollingMessage();
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
  if (CursorOnTopLine()) StopScrollingMessage();
  if (m_Cursor == kColumns - 1) {
    m_Cursor = kColumns;
  } else if (m_Cursor == kPositions - 1) {
    if (m_Parser.m_VerticalScroll) {
      StopScrollingMessage();
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
    StopScrollingMessage();
  } else if (m_Parser.m_VerticalScroll) {
    StopScrollingMessage();
    ScrollUp();
  } else {
    m_Cursor = static_cast<BYTE>(m_Cursor - kColumns);
  }
}

void LdDisplay::CarriageReturn() {
  if (CursorOnTopLine()) {
    m_Cursor = 0;
    StopScrollingMessage();
  } else {
    m_Cursor = kColumns;
  }
}

void LdDisplay::DisplayPosition() {
  const BYTE position = m_Parser.m_CommandByte;
  if (position > kPositions - 1) {
    LdLog(LEVEL_INFO, "HidLdManager::ProcessReceiveBuffer - Command Byte = %d; Invalid display position command",
          position);
    return;
  }
  if (CursorOnTopLine()) StopScrollingMessage();
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

void LdDisplay::Reset(bool send) {
  m_BlankCharacter = 0x20;
  LdLog(LEVEL_INFO, "LDParser::SetLogicControlMode - Logic Control Mode selected");
  LdLog(LEVEL_INFO, "LDParser::SetVerticalScroll - Vertical Scroll selected");
  m_Parser.Reset();
  m_Cursor = 0;
  std::memset(m_DisplayImage, m_BlankCharacter, sizeof m_DisplayImage);
  m_ScrollMessageLength = 0;
  m_ScrollOffset = 0;
  std::memset(m_ScrollWindow, m_BlankCharacter, sizeof m_ScrollWindow);
  m_LcmUserCharacter = 0;
  std::memset(m_LcmPattern, 0, sizeof m_LcmPattern);
  if (send) {
    const BYTE clearTop[] = {0x00, ldreport::kClearTopLine, m_Cursor};
    Send(LdReport::ClearTopLine, clearTop, sizeof clearTop);
    const BYTE clearBottom[] = {0x00, ldreport::kClearBottomLine, m_Cursor};
    Send(LdReport::ClearBottomLine, clearBottom, sizeof clearBottom);
    SendCharacterSet(ldreport::kDefaultCharacterSet);
  }
}

void LdDisplay::SelfTest() {
  std::memset(m_DisplayImage, 0x20, sizeof m_DisplayImage);
  for (int i = 0; i < kPositions; ++i) {
    m_DisplayImage[i] = static_cast<BYTE>(0x20 + i);
    SendLine(LdReport::WriteTopLine);
    SendLine(LdReport::WriteBottomLine);
    Pause(100);
  }
  const BYTE solid[8] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  SendRam(kLcmUserLocation, solid);
  std::memset(m_DisplayImage, kLcmUserLocation, sizeof m_DisplayImage);
  SendLine(LdReport::WriteTopLine);
  SendLine(LdReport::WriteBottomLine);
  Pause(2000);
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
      LdLog(LEVEL_WARNING, "HidLdManager::GetWriteRamLocation - Wrong WriteRam location (%c) received", code);
      return 0;
  }
}

LdAction& LdDisplay::StartSend(LdReport report, std::size_t length) {
  LdAction& action = Append(LdAction::Type::Send);
  action.report = report;
  action.length = static_cast<std::uint8_t>(length);
  action.failureLog = nullptr;
  return action;
}

LdAction& LdDisplay::Send(LdReport report, const BYTE* bytes, std::size_t length) {
  LdAction& action = StartSend(report, length);
  std::memcpy(action.bytes.data(), bytes, length);
  return action;
}

void LdDisplay::SendLine(LdReport report) {
  const bool top = report == LdReport::WriteTopLine;
  // Built in its action: the display sends a line for nearly every hand-over.
  LdAction& action = StartSend(report, ldreport::kLineReportLength);
  ldreport::FillLine(action.bytes, top ? ldreport::kWriteTopLine : ldreport::kWriteBottomLine,
                     top ? m_DisplayImage : m_DisplayImage + kColumns);
}

void LdDisplay::SendRam(BYTE location, const BYTE* rows) {
  const auto ram = ldreport::WriteRam(location, rows);
  Send(LdReport::WriteRam, ram.data(), ram.size());
}

LdAction& LdDisplay::SendCharacterSet(BYTE characterSet) {
  const BYTE report[] = {0x00, ldreport::kSelectCharacterSet, characterSet};
  return Send(LdReport::SelectCharacterSet, report, sizeof report);
}

void LdDisplay::Pause(DWORD milliseconds) {
  LdAction& action = Append(LdAction::Type::Pause);
  action.pauseMs = milliseconds;
}
