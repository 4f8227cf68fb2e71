#include "tools/hidsim/LineDisplayModel.h"

namespace hidsim {
namespace {

constexpr std::uint8_t kCmdGeneral = 0x00;  // status and device information requests
constexpr std::uint8_t kCmdClearTop = 0x01;
constexpr std::uint8_t kCmdClearBottom = 0x02;
constexpr std::uint8_t kCmdWriteRam = 0x40;
constexpr std::uint8_t kCmdSelectSet = 0x41;
constexpr std::uint8_t kCmdSetList = 0x42;
constexpr std::uint8_t kCmdWriteTop = 0x81;
constexpr std::uint8_t kCmdWriteBottom = 0x82;
constexpr std::uint8_t kLineMarker = 0x28;
constexpr std::size_t kLineReportLength = 24;  // id, command, marker, 20 characters, checksum

// Firmware identification reported with the device information.
constexpr std::uint8_t kInfoMajor = 0x01;
constexpr std::uint8_t kInfoMinor = 0x00;
constexpr std::uint8_t kInfoVariant = 0x00;
constexpr std::uint8_t kSetCount = 12;  // 0x1F and 1..11

bool ValidCharacterSet(std::uint8_t set) { return set == 0x1F || (set >= 1 && set <= 11); }

}  // namespace

LineDisplayModel::LineDisplayModel() { m_screen.fill(0x20); }

LineDisplayModel::Outcome LineDisplayModel::Apply(const std::uint8_t* report, std::size_t length) {
  Outcome out;
  // Every report is answered; only a valid command completes.
  out.status[0] = kInvalidCommand;
  if (report == nullptr || length < 2 || report[0] != 0x00) return out;
  const auto before = m_screen;
  bool valid = false;
  const std::uint8_t arg2 = length > 2 ? report[2] : 0;
  const std::uint8_t arg3 = length > 3 ? report[3] : 0;
  switch (report[1]) {
    case kCmdGeneral:
      if (arg2 == 0x20) {
        valid = true;
        out.status[0] = kCommandComplete;
      } else if (arg2 == 0x00 && arg3 == 0x01) {
        valid = true;
        out.status = {static_cast<std::uint8_t>(kDeviceInformation | kCommandComplete),
                      kDeviceType, kInfoMajor, kInfoMinor, kCommandSet, kInfoVariant, 0, 0};
      }
      break;
    case kCmdClearTop:
    case kCmdClearBottom:
      // The argument is the position the clearing starts from.
      if (length > 2 && arg2 < kColumns) {
        const int row = report[1] == kCmdClearTop ? 0 : 1;
        for (int c = arg2; c < kColumns; ++c) m_screen[static_cast<std::size_t>(row * kColumns + c)] = 0x20;
        valid = true;
      }
      break;
    case kCmdWriteRam:
      if (length >= 3 + kPatternRows && arg2 < kRamLocations) {
        for (int r = 0; r < kPatternRows; ++r) m_ram[arg2][static_cast<std::size_t>(r)] = report[3 + r];
        valid = true;
      }
      break;
    case kCmdSelectSet:
      if (length > 2 && ValidCharacterSet(arg2)) {
        m_characterSet = arg2;
        valid = true;
      }
      break;
    case kCmdSetList:
      valid = true;
      out.status = {static_cast<std::uint8_t>(kCharacterSetList | kCommandComplete), kSetCount,
                    m_characterSet, 0, 0, 0, 0, 0};
      break;
    case kCmdWriteTop:
      valid = WriteLine(0, report, length);
      break;
    case kCmdWriteBottom:
      valid = WriteLine(1, report, length);
      break;
    default:
      break;
  }
  if (valid && out.status[0] == kInvalidCommand) out.status[0] = kCommandComplete;
  out.screenChanged = before != m_screen;
  return out;
}

bool LineDisplayModel::WriteLine(int row, const std::uint8_t* report, std::size_t length) {
  if (length < kLineReportLength || report[2] != kLineMarker) return false;
  unsigned sum = 0;
  for (std::size_t i = 0; i < kLineReportLength - 1; ++i) sum += report[i];
  if ((sum & 0xFF) != report[kLineReportLength - 1]) return false;
  for (int c = 0; c < kColumns; ++c) m_screen[static_cast<std::size_t>(row * kColumns + c)] = report[3 + c];
  return true;
}

std::string LineDisplayModel::Line(int row) const {
  const auto begin = m_screen.begin() + row * kColumns;
  return std::string(begin, begin + kColumns);
}

std::string LineDisplayModel::Render() const {
  static const char* const kSuperscripts[kRamLocations] = {"\u2070", "\u00b9", "\u00b2", "\u00b3",
                                                           "\u2074", "\u2075", "\u2076", "\u2077"};
  const std::string border = "+" + std::string(kColumns, '-') + "+\n";
  std::string text = border;
  for (int row = 0; row < kRows; ++row) {
    text += '|';
    for (int c = 0; c < kColumns; ++c) {
      const std::uint8_t code = m_screen[static_cast<std::size_t>(row * kColumns + c)];
      if (code < kRamLocations) {
        text += kSuperscripts[code];
      } else if (code >= 0x20 && code <= 0x7E) {
        text += static_cast<char>(code);
      } else {
        text += "\u00b7";
      }
    }
    text += "|\n";
  }
  return text + border;
}

}  // namespace hidsim
