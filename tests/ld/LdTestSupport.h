#pragma once
// Test doubles for the line-display core: a log sink that keeps every line,
// and the report bytes the display's actions carry.
#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

#include "plugins/ld/LdDisplay.h"
#include "plugins/ld/LdLog.h"

namespace ldtest {

using Bytes = std::vector<BYTE>;

class LogCapture : public ILogSink {
 public:
  LogCapture() { SetLdLogSink(this); }
  ~LogCapture() { SetLdLogSink(nullptr); }
  bool Wants(DWORD) override { return true; }
  void Write(DWORD level, const char* text) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_lines.push_back({level, text});
  }
  int Count(const std::string& text) {
    std::lock_guard<std::mutex> lock(m_mutex);
    return static_cast<int>(std::count_if(m_lines.begin(), m_lines.end(),
                                          [&](const auto& l) { return l.text == text; }));
  }
  bool Has(DWORD level, const std::string& text) {
    std::lock_guard<std::mutex> lock(m_mutex);
    return std::any_of(m_lines.begin(), m_lines.end(),
                       [&](const auto& l) { return l.level == level && l.text == text; });
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_lines.clear();
  }

 private:
  struct Line {
    DWORD level;
    std::string text;
  };
  std::mutex m_mutex;
  std::vector<Line> m_lines;
};

// The reports among a display's actions, in order.
inline std::vector<Bytes> Reports(const LdActions& actions) {
  std::vector<Bytes> reports;
  for (const LdAction& a : actions) {
    if (a.type == LdAction::Type::Send) reports.emplace_back(a.bytes.begin(), a.bytes.begin() + a.length);
  }
  return reports;
}

// A line report of the given command with these 20 characters.
inline Bytes LineReport(BYTE command, const std::string& text) {
  Bytes r = {0x00, command, 0x28};
  unsigned sum = 0x28u + command;
  for (std::size_t i = 0; i < 20; ++i) {
    const BYTE c = i < text.size() ? static_cast<BYTE>(text[i]) : 0x20;
    r.push_back(c);
    sum += c;
  }
  r.push_back(static_cast<BYTE>(sum));
  return r;
}

inline Bytes Of(const std::string& s) { return Bytes(s.begin(), s.end()); }

}  // namespace ldtest
