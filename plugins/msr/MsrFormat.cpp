#include "plugins/msr/MsrFormat.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "common/log/ZolLog.h"

namespace {

constexpr std::size_t kTrack1 = 0;
constexpr std::size_t kTrack2 = 1;
constexpr std::size_t kTrack3 = 2;
constexpr std::size_t kFirstBlock = 3;  // numeric layout, first block
constexpr std::size_t kFirstLength = 4; // offset of the first block's length byte

void Fill(std::span<char> text, std::size_t from, std::size_t to) {
  for (std::size_t i = from; i <= to && i < text.size(); ++i) {
    text[i] = '*';
  }
}

bool IsTrue(const std::wstring& value) {
  if (value.size() != 4) {
    return false;
  }
  std::wstring lowered = value;
  for (auto& c : lowered) {
    if (c >= L'A' && c <= L'Z') {
      c = static_cast<wchar_t>(c - L'A' + L'a');
    }
  }
  return lowered == L"true";
}

}  // namespace

void SecureZero(void* data, std::size_t length) {
  volatile BYTE* p = static_cast<volatile BYTE*>(data);
  while (length-- > 0) {
    *p++ = 0;
  }
}

void MaskTrack1(std::span<char> t) {
  const std::size_t n = t.size();
  std::size_t k = 0;
  for (std::size_t i = 1; i <= 20 && i < n; ++i) {
    if (t[i] == '^') {
      k = i;
      break;
    }
  }
  if (k == 0) {
    // No separator within reach: the whole text may be an account number.
    Fill(t, 0, n);
    return;
  }
  const bool starts59 = k >= 3 && t[1] == '5' && t[2] == '9';
  if (k > 5) {
    Fill(t, 1, k - 5);
  }
  if (starts59) {
    k += 3;
  }
  std::size_t e = k;
  for (std::size_t m = k + 1; m < k + 26 && m < n; ++m) {
    if (t[m] == '^') {
      e = m;
      break;
    }
  }
  const std::size_t a = (k + 1 < e) ? e + 7 : e + 3;
  if (a + 1 < n) {
    Fill(t, a + 1, n);
  }
}

void MaskTrack2(std::span<char> t) {
  const std::size_t n = t.size();
  std::size_t k = n;
  for (std::size_t i = 0; i < 20 && i < n; ++i) {
    if (t[i] == '=') {
      k = i;
      break;
    }
  }
  if (k == n) {
    Fill(t, 0, n);
    return;
  }
  const bool starts59 = k >= 2 && t[0] == '5' && t[1] == '9';
  if (k > 4) {
    Fill(t, 0, k - 5);
  }
  if (starts59) {
    k += 3;
  }
  if (k + 8 < n) {
    Fill(t, k + 8, n);
  }
}

struct MsrFormat::Slot {
  std::size_t track;  // index of the track buffer
  BYTE enabled;
  char startSentinel;
  bool carriageReturn;
};

MsrFormat::MsrFormat(ILogSink* sink) : m_Sink(sink) { Clear(); }

MsrFormat::~MsrFormat() { Clear(); }

void MsrFormat::Log(DWORD level, const std::string& line) const {
  if (!Wanted(level)) return;
  // The log client takes C text: what follows a zero byte never reaches it.
  // No copy is made here, so none is left to wipe.
  m_Sink->Write(level, line.c_str());
}

void MsrFormat::LogCardText(DWORD level, const char* prefix, const char* text) const {
  std::string line(prefix);
  line += text;
  Log(level, line);
  SecureZero(line.data(), line.size());
}

void MsrFormat::ApplyKey(const std::wstring& key, const std::wstring& value) {
  struct FlagKey {
    const wchar_t* name;
    BYTE MsrSettings::*field;
  };
  static constexpr FlagKey kFlags[] = {
      {L"Raw_Data_Mode", &MsrSettings::rawDataMode},
      {L"CR_Enabled", &MsrSettings::crEnabled},
      {L"Track1_Enabled", &MsrSettings::track1Enabled},
      {L"Track2_Enabled", &MsrSettings::track2Enabled},
      {L"Track3_Enabled", &MsrSettings::track3Enabled},
      {L"Strip_Sentinels", &MsrSettings::stripSentinels},
      {L"Hide_Error_Tracks", &MsrSettings::hideErrorTracks},
      {L"Track1_CR_Enabled", &MsrSettings::track1CrEnabled},
      {L"Track2_CR_Enabled", &MsrSettings::track2CrEnabled},
      {L"Track3_CR_Enabled", &MsrSettings::track3CrEnabled},
  };
  struct CharKey {
    const wchar_t* name;
    char MsrSettings::*field;
  };
  static constexpr CharKey kSentinels[] = {
      {L"Track1_Start_Sentinel", &MsrSettings::track1StartSentinel},
      {L"Track2_Start_Sentinel", &MsrSettings::track2StartSentinel},
      {L"Track3_Start_Sentinel", &MsrSettings::track3StartSentinel},
      {L"End_Sentinel", &MsrSettings::endSentinel},
  };
  for (const auto& f : kFlags) {
    if (key == f.name) {
      m_Settings.*f.field = IsTrue(value) ? 1 : 0;
      return;
    }
  }
  for (const auto& s : kSentinels) {
    if (key == s.name) {
      if (value.size() == 1) {
        m_Settings.*s.field = static_cast<char>(value[0] & 0xFF);
      }
      return;
    }
  }
  char* wrapper = nullptr;
  if (key == L"Head_Wrapper") {
    wrapper = m_Settings.headWrapper;
  } else if (key == L"Tail_Wrapper") {
    wrapper = m_Settings.tailWrapper;
  }
  if (wrapper != nullptr && value.size() <= MSR_WRAPPER_MAX) {
    std::memset(wrapper, 0, MSR_WRAPPER_FIELD);
    for (std::size_t i = 0; i < value.size(); ++i) {
      wrapper[i] = static_cast<char>(value[i] & 0xFF);
    }
  }
}

bool MsrFormat::ApplyConfiguration(ConfigRead read, const std::vector<datanode>& keys) {
  if (read == ConfigRead::NotLoaded || read == ConfigRead::Unreadable) {
    Log(LEVEL_ERROR, "MsrFormat::GetConfiguration - Could not load ZolConfig.xml");
    return false;
  }
  if (read == ConfigRead::NoSection) {
    Log(LEVEL_ERROR, "MsrFormat::GetConfiguration - Could not read ZolConfig.xml");
    return false;
  }
  for (const auto& node : keys) {
    ApplyKey(node.name, node.value);
  }
  if (std::strlen(m_Settings.headWrapper) + std::strlen(m_Settings.tailWrapper) > MSR_WRAPPER_MAX) {
    std::memset(m_Settings.headWrapper, 0, MSR_WRAPPER_FIELD);
    std::memset(m_Settings.tailWrapper, 0, MSR_WRAPPER_FIELD);
  }
  const MsrSettings& s = m_Settings;
  char line[512];
  std::snprintf(line, sizeof line,
                "MsrFormat::GetConfiguration - RawDataMode=%d, CREnabled=%d, Track1Enabled=%d, "
                "Track2Enabled=%d, Track3Enabled=%d, StripSentinels=%d, HideErrorTracks=%d",
                s.rawDataMode, s.crEnabled, s.track1Enabled, s.track2Enabled, s.track3Enabled,
                s.stripSentinels, s.hideErrorTracks);
  Log(LEVEL_INFO, line);
  std::snprintf(line, sizeof line,
                "MsrFormat::GetConfiguration - Track1StartSentinel=%c, Track2StartSentinel=%c, "
                "Track3StartSentinel=%c, EndSentinel=%c",
                s.track1StartSentinel, s.track2StartSentinel, s.track3StartSentinel, s.endSentinel);
  Log(LEVEL_INFO, line);
  std::snprintf(line, sizeof line,
                "MsrFormat::GetConfiguration - HeadWrapper=%s, TailWrapper=%s, Track1CREnabled=%d, "
                "Track2CREnabled=%d, Track3CREnabled=%d",
                s.headWrapper, s.tailWrapper, s.track1CrEnabled, s.track2CrEnabled,
                s.track3CrEnabled);
  Log(LEVEL_INFO, line);
  return true;
}

void MsrFormat::ParseBlocks(MsrCardData area, int blocks) {
  static constexpr std::size_t kIsoTracks[3] = {kTrack1, kTrack2, kTrack3};
  static constexpr BYTE kIsoOffsets[3] = {0x20, 0x30, 0x00};
  static constexpr std::size_t kNumericTracks[2] = {kFirstBlock, kTrack2};
  static constexpr BYTE kNumericOffsets[2] = {0x30, 0x30};
  const bool iso = blocks == 3;
  const BYTE flags = area[1];
  if (iso) {
    m_TrackError[kTrack1] = (flags & 0x01) ? 1 : 0;
    m_TrackError[kTrack2] = (flags & 0x04) ? 1 : 0;
    m_TrackError[kTrack3] = (flags & 0x10) ? 1 : 0;
  } else {
    m_TrackError[kFirstBlock] = (flags & 0x01) ? 1 : 0;
    m_TrackError[kTrack2] = (flags & 0x04) ? 1 : 0;
  }
  std::size_t pos = kFirstLength;
  for (int b = 0; b < blocks; ++b) {
    const std::size_t track = iso ? kIsoTracks[b] : kNumericTracks[b];
    const BYTE offset = iso ? kIsoOffsets[b] : kNumericOffsets[b];
    if (pos >= area.size()) {
      m_TrackError[track] = 1;
      continue;
    }
    const std::size_t length = area[pos];
    // A block longer than a track, or one that would run past the end of the
    // area, is an unreadable track; the next length byte follows directly.
    if (length > MSR_TRACK_SIZE || pos + 1 + length > area.size()) {
      m_TrackError[track] = 1;
      pos += 1;
      continue;
    }
    for (std::size_t i = 0; i < length; ++i) {
      m_Track[track][i] = static_cast<char>(static_cast<BYTE>(area[pos + 1 + i] + offset));
    }
    m_TrackLength[track] = static_cast<DWORD>(length);
    pos += 1 + length;
  }
}

void MsrFormat::BuildOutput(const Slot* slots, int count) {
  const MsrSettings& s = m_Settings;
  const std::size_t head = std::strlen(s.headWrapper);
  const std::size_t tail = std::strlen(s.tailWrapper);
  for (int i = 0; i < count; ++i) {
    const Slot& slot = slots[i];
    if (!slot.enabled) {
      continue;
    }
    const std::size_t n = m_TrackLength[slot.track];
    std::size_t size = 0;
    if (m_TrackError[slot.track]) {
      size = s.hideErrorTracks ? 0 : 1;
    } else if (n > 0) {
      size = head + n + (s.stripSentinels ? 0 : 2) + tail + (slot.carriageReturn ? 1 : 0);
    }
    if (size == 0) {
      continue;
    }
    // Output ends after the last whole track that fits.
    if (m_OutputLength + size > MSR_OUTPUT_SIZE) {
      break;
    }
    BYTE* out = m_Output + m_OutputLength;
    if (m_TrackError[slot.track]) {
      *out = 'E';
      m_OutputLength += 1;
      continue;
    }
    std::memcpy(out, s.headWrapper, head);
    out += head;
    if (!s.stripSentinels) {
      *out++ = static_cast<BYTE>(slot.startSentinel);
    }
    m_SlotStart[i] = static_cast<std::size_t>(out - m_Output);
    m_SlotLength[i] = n;
    std::memcpy(out, m_Track[slot.track], n);
    out += n;
    if (!s.stripSentinels) {
      *out++ = static_cast<BYTE>(s.endSentinel);
    }
    std::memcpy(out, s.tailWrapper, tail);
    out += tail;
    if (slot.carriageReturn) {
      *out++ = 0x0D;
    }
    m_OutputLength = static_cast<DWORD>(out - m_Output);
  }
}

void MsrFormat::LogIsoTracks() {
  static constexpr const char* kPrefix[3] = {
      "MsrFormat::formatISOFeatureReport - Track 1: ",
      "MsrFormat::formatISOFeatureReport - Track 2: ",
      "MsrFormat::formatISOFeatureReport - Track 3: ",
  };
  if (!Wanted(LEVEL_VERBOSE)) return;
  for (std::size_t t = kTrack1; t <= kTrack3; ++t) {
    char text[MSR_TRACK_SIZE + 1] = {};
    const std::size_t n = m_TrackLength[t];
    std::memcpy(text, m_Track[t], n);
    std::span<char> view(text, n);
    if (t == kTrack1) {
      MaskTrack1(view);
    } else if (t == kTrack2) {
      MaskTrack2(view);
    } else {
      Fill(view, 0, n);  // track 3 is never shown
    }
    LogCardText(LEVEL_VERBOSE, kPrefix[t], text);
    SecureZero(text, sizeof text);
  }
}

void MsrFormat::LogFinalTrack(int count) {
  if (!Wanted(LEVEL_VERBOSE)) return;
  char text[MSR_OUTPUT_SIZE + 1] = {};
  std::memcpy(text, m_Output, m_OutputLength);
  for (int i = 0; i < count; ++i) {
    std::fill_n(text + m_SlotStart[i], m_SlotLength[i], '*');
  }
  LogCardText(LEVEL_VERBOSE, "MsrFormat::formatISOFeatureReport - Final Track: ", text);
  SecureZero(text, sizeof text);
}

void MsrFormat::CopyOut(MsrOutput out, DWORD* outLength) {
  std::memcpy(out.data(), m_Output, m_OutputLength);
  if (outLength != nullptr) {
    *outLength = m_OutputLength;
  }
  Clear();
}

void MsrFormat::Clear() {
  SecureZero(m_Track, sizeof m_Track);
  SecureZero(m_TrackLength, sizeof m_TrackLength);
  SecureZero(m_TrackError, sizeof m_TrackError);
  SecureZero(m_Output, sizeof m_Output);
  SecureZero(&m_OutputLength, sizeof m_OutputLength);
  SecureZero(m_SlotStart, sizeof m_SlotStart);
  SecureZero(m_SlotLength, sizeof m_SlotLength);
}

bool MsrFormat::HoldsCardData() const {
  const auto anySet = [](const void* data, std::size_t length) {
    const BYTE* p = static_cast<const BYTE*>(data);
    return std::any_of(p, p + length, [](BYTE b) { return b != 0; });
  };
  return anySet(m_Track, sizeof m_Track) || anySet(m_TrackLength, sizeof m_TrackLength) ||
         anySet(m_TrackError, sizeof m_TrackError) || anySet(m_Output, sizeof m_Output) ||
         m_OutputLength != 0;
}

bool MsrFormat::formatISOFeatureReport(MsrCardData area, MsrOutput out, DWORD* outLength) {
  Clear();
  ParseBlocks(area, 3);
  const MsrSettings& s = m_Settings;
  const Slot slots[3] = {
      {kTrack1, s.track1Enabled, s.track1StartSentinel, s.crEnabled || s.track1CrEnabled},
      {kTrack2, s.track2Enabled, s.track2StartSentinel, s.crEnabled || s.track2CrEnabled},
      {kTrack3, s.track3Enabled, s.track3StartSentinel, s.crEnabled || s.track3CrEnabled},
  };
  LogIsoTracks();
  BuildOutput(slots, 3);
  LogFinalTrack(3);
  CopyOut(out, outLength);
  return true;
}

bool MsrFormat::formatNumericFeatureReport(MsrCardData area, MsrOutput out, DWORD* outLength) {
  Clear();
  ParseBlocks(area, 2);
  const MsrSettings& s = m_Settings;
  // Both blocks carry the track 1 start sentinel.
  const Slot slots[2] = {
      {kFirstBlock, s.track1Enabled, s.track1StartSentinel, s.crEnabled || s.track1CrEnabled},
      {kTrack2, s.track2Enabled, s.track1StartSentinel, s.crEnabled || s.track2CrEnabled},
  };
  BuildOutput(slots, 2);
  CopyOut(out, outLength);
  return true;
}
