#pragma once
// Turns the card data of one swipe into the serial text the application reads,
// and writes the card data to the log in masked form only.
//
// The formatter never reads past the 290-byte card-data area and never writes
// past the 334-byte output; every buffer that held card data is zeroed as soon
// as the output has been copied out.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/config/ConfigDoc.h"
#include "common/log/LogSink.h"
#include "platform/WinTypes.h"

inline constexpr std::size_t MSR_CARD_DATA_SIZE = 290;
inline constexpr std::size_t MSR_OUTPUT_SIZE = 334;
inline constexpr std::size_t MSR_TRACK_SIZE = 139;
inline constexpr std::size_t MSR_WRAPPER_FIELD = 15;  // 14 characters and the terminator
inline constexpr std::size_t MSR_WRAPPER_MAX = 14;

using MsrCardData = std::span<const BYTE, MSR_CARD_DATA_SIZE>;
using MsrOutput = std::span<BYTE, MSR_OUTPUT_SIZE>;

struct MsrSettings {
  BYTE rawDataMode = 0;
  BYTE crEnabled = 0;
  BYTE track1Enabled = 1;
  BYTE track2Enabled = 1;
  BYTE track3Enabled = 1;
  BYTE stripSentinels = 0;
  BYTE hideErrorTracks = 0;
  char track1StartSentinel = '%';
  char track2StartSentinel = ';';
  char track3StartSentinel = '+';
  char endSentinel = '?';
  char headWrapper[MSR_WRAPPER_FIELD] = {};
  char tailWrapper[MSR_WRAPPER_FIELD] = {};
  BYTE track1CrEnabled = 0;
  BYTE track2CrEnabled = 0;
  BYTE track3CrEnabled = 0;
};

// Zeroes memory in a way the optimiser may not drop.
void SecureZero(void* data, std::size_t length);

// The log-line masks, applied in place to a track's text (exposed for tests).
void MaskTrack1(std::span<char> text);
void MaskTrack2(std::span<char> text);

class MsrFormat {
 public:
  // sink receives every log line the formatter makes (null: none). The
  // plug-in passes one that hands the text to the log client.
  explicit MsrFormat(ILogSink* sink = nullptr);
  ~MsrFormat();
  MsrFormat(const MsrFormat&) = delete;
  MsrFormat& operator=(const MsrFormat&) = delete;

  // Reads the MSR_Configuration section of the configuration document; false
  // (settings unchanged) when the document or the section is missing.
  bool GetConfiguration();
  // The same once the document has been read: applies the section's keys,
  // logs the three settings lines. Result as GetConfiguration.
  bool ApplyConfiguration(ConfigRead read, const std::vector<datanode>& keys);

  // Layout 0 (ISO) and layout 3 (two-block numeric): formats area into out and
  // sets *outLength (0 is a valid length). Returns true.
  bool formatISOFeatureReport(MsrCardData area, MsrOutput out, DWORD* outLength);
  bool formatNumericFeatureReport(MsrCardData area, MsrOutput out, DWORD* outLength);

  const MsrSettings& Settings() const { return m_Settings; }
  // True while any track buffer, length, flag or the output holds a non-zero byte.
  bool HoldsCardData() const;

 private:
  struct Slot;

  void ApplyKey(const std::wstring& key, const std::wstring& value);
  void Log(DWORD level, const std::string& line) const;
  // A card's masked text after prefix, logged; every copy made is wiped.
  void LogCardText(DWORD level, const char* prefix, const char* text) const;
  bool Wanted(DWORD level) const { return m_Sink != nullptr && m_Sink->Wants(level); }
  void ParseBlocks(MsrCardData area, int blocks);
  void BuildOutput(const Slot* slots, int count);
  void LogIsoTracks();
  void LogFinalTrack(int count);
  void CopyOut(MsrOutput out, DWORD* outLength);
  void Clear();

  // Track buffers: track 1, 2, 3 and the first block of the numeric layout.
  char m_Track[4][MSR_TRACK_SIZE];
  DWORD m_TrackLength[4];
  BYTE m_TrackError[4];
  BYTE m_Output[MSR_OUTPUT_SIZE];
  DWORD m_OutputLength;
  // Where each slot's track data landed in m_Output (for the log mask).
  std::size_t m_SlotStart[3];
  std::size_t m_SlotLength[3];
  MsrSettings m_Settings;
  ILogSink* m_Sink;
};
