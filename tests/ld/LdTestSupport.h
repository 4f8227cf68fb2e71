#pragma once
// Test doubles for the line-display core: a host that records every report
// the emulation asks to send, and a log sink that keeps every line.
#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

#include "plugins/ld/LdDisplay.h"
#include "plugins/ld/LdLog.h"

namespace ldtest {

using Bytes = std::vector<BYTE>;

class LogCapture : public ILdLogSink {
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

// Records reports; the scrolling message "thread" is the test itself, which
// calls ScrollStep, and a stop forgets the message at once.
class RecordingHost : public ILdDisplayHost {
 public:
  int SendCommand(const BYTE* bytes, DWORD length) override {
    reports.emplace_back(bytes, bytes + length);
    return sendResult;
  }
  void StopScrollingMessage() override {
    ++stopCalls;
    if (scrolling && display != nullptr) display->ScrollStopped();
    scrolling = false;
  }
  void ScrollingMessageReady() override { scrolling = true; }
  void Pause(DWORD ms) override { pauses.push_back(ms); }

  LdDisplay* display = nullptr;
  int sendResult = 1;
  bool scrolling = false;
  int stopCalls = 0;
  std::vector<Bytes> reports;
  std::vector<DWORD> pauses;
};

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
