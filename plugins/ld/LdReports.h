#pragma once
// The output reports of the USB line display: the bytes the host builds (the
// device wrapper zero-fills them to the output report length).
#include <array>
#include <cstddef>
#include <cstring>

#include "platform/WinTypes.h"

namespace ldreport {

inline constexpr BYTE kClearTopLine = 0x01;
inline constexpr BYTE kClearBottomLine = 0x02;
inline constexpr BYTE kWriteRam = 0x40;
inline constexpr BYTE kSelectCharacterSet = 0x41;
inline constexpr BYTE kGetCharacterSetList = 0x42;
inline constexpr BYTE kWriteTopLine = 0x81;
inline constexpr BYTE kWriteBottomLine = 0x82;
inline constexpr BYTE kLineLengthByte = 0x28;
inline constexpr BYTE kDefaultCharacterSet = 0x1F;
inline constexpr std::size_t kLineColumns = 20;
inline constexpr std::size_t kLineReportLength = 24;
inline constexpr std::size_t kWriteRamLength = 11;

// 00 81|82 28, the 20 characters, and the low 8 bits of the sum of bytes 0..22.
inline void FillLine(std::array<BYTE, kLineReportLength>& report, BYTE command, const BYTE* characters) {
  report[0] = 0x00;
  report[1] = command;
  report[2] = kLineLengthByte;
  std::memcpy(report.data() + 3, characters, kLineColumns);
  // Summed in eight bits: the carries out are what the checksum drops.
  BYTE sum = static_cast<BYTE>(command + kLineLengthByte);
  for (std::size_t i = 0; i < kLineColumns; ++i) sum = static_cast<BYTE>(sum + characters[i]);
  report[kLineReportLength - 1] = sum;
}

inline std::array<BYTE, kLineReportLength> Line(BYTE command, const BYTE* characters) {
  std::array<BYTE, kLineReportLength> report;
  FillLine(report, command, characters);
  return report;
}

inline std::array<BYTE, kWriteRamLength> WriteRam(BYTE location, const BYTE* rows) {
  std::array<BYTE, kWriteRamLength> report{};
  report[1] = kWriteRam;
  report[2] = location;
  for (std::size_t i = 0; i < 8; ++i) report[3 + i] = rows[i];
  return report;
}

}  // namespace ldreport
