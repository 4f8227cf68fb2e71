// Formats arbitrary card-data areas in both layouts with arbitrary settings.
// The area lives in a heap block of exactly 290 bytes, so a read past it is
// caught; the output must stay within 334 bytes, nothing of the card may be
// left in the formatter, and track 3 never shows in the log.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "plugins/msr/MsrFormat.h"

namespace {

// Keeps the formatter's log lines.
class LineSink : public ILogSink {
 public:
  bool Wants(DWORD) override { return true; }
  void Write(DWORD, const char* text) override { lines.emplace_back(text); }
  std::vector<std::string> lines;
};

// The first bytes of the input choose the settings; the rest is the area.
std::vector<datanode> SettingsFrom(const std::uint8_t* data, std::size_t size) {
  static const wchar_t* kFlags[] = {L"CR_Enabled",      L"Track1_Enabled",    L"Track2_Enabled",
                                    L"Track3_Enabled",  L"Strip_Sentinels",   L"Hide_Error_Tracks",
                                    L"Track1_CR_Enabled", L"Track2_CR_Enabled", L"Track3_CR_Enabled"};
  std::vector<datanode> keys;
  const std::uint16_t bits = size >= 2 ? static_cast<std::uint16_t>(data[0] | (data[1] << 8)) : 0;
  for (std::size_t i = 0; i < std::size(kFlags); ++i) {
    keys.push_back({kFlags[i], (bits >> i) & 1 ? L"true" : L"", {}, {}});
  }
  const std::size_t head = size >= 3 ? data[2] % 16 : 0;
  const std::size_t tail = size >= 4 ? data[3] % 16 : 0;
  keys.push_back({L"Head_Wrapper", std::wstring(head, L'<'), {}, {}});
  keys.push_back({L"Tail_Wrapper", std::wstring(tail, L'>'), {}, {}});
  return keys;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  constexpr std::size_t kSettingBytes = 4;
  LineSink log;
  MsrFormat format(&log);
  format.ApplyConfiguration(ConfigRead::Found, SettingsFrom(data, size));

  auto area = std::make_unique<BYTE[]>(MSR_CARD_DATA_SIZE);
  std::memset(area.get(), 0, MSR_CARD_DATA_SIZE);
  if (size > kSettingBytes) {
    const std::uint8_t* rest = data + kSettingBytes;
    const std::size_t restSize = size - kSettingBytes;
    if ((data[1] & 0x80) == 0 || restSize < 4) {
      std::memcpy(area.get(), rest, std::min(restSize, MSR_CARD_DATA_SIZE));
    } else {
      // Block lengths from the input and the data bytes repeated after them,
      // so that short inputs still reach long blocks and the end of the area.
      area[1] = rest[0];
      std::size_t pos = 4;
      std::size_t next = 4;
      for (int block = 0; block < 3 && pos < MSR_CARD_DATA_SIZE; ++block) {
        const std::size_t length = rest[1 + block];
        area[pos++] = static_cast<BYTE>(length);
        for (std::size_t i = 0; i < length && pos < MSR_CARD_DATA_SIZE && length <= MSR_TRACK_SIZE; ++i) {
          area[pos++] = restSize > 4 ? rest[next] : 0;
          next = next + 1 < restSize ? next + 1 : 4;
        }
      }
    }
  }
  auto out = std::make_unique<BYTE[]>(MSR_OUTPUT_SIZE);
  for (int layout = 0; layout < 2; ++layout) {
    DWORD length = 0;
    MsrCardData in(area.get(), MSR_CARD_DATA_SIZE);
    MsrOutput o(out.get(), MSR_OUTPUT_SIZE);
    const bool ok = layout == 0 ? format.formatISOFeatureReport(in, o, &length)
                                : format.formatNumericFeatureReport(in, o, &length);
    if (!ok || length > MSR_OUTPUT_SIZE || format.HoldsCardData()) {
      std::abort();
    }
  }
  // Track 3 is never shown: its line holds asterisks only.
  const std::string track3 = "MsrFormat::formatISOFeatureReport - Track 3: ";
  for (const auto& line : log.lines) {
    if (line.rfind(track3, 0) == 0 && line.find_first_not_of('*', track3.size()) != std::string::npos) {
      std::abort();
    }
  }
  return 0;
}
