#pragma once
// A log sink that keeps every line it is given, for code that logs through
// ILogSink (the display and stripe-reader cores).
#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

#include "common/log/LogSink.h"

namespace zoltest {

class LogLines : public ILogSink {
 public:
  struct Line {
    DWORD level;
    std::string text;
  };

  bool Wants(DWORD) override { return true; }
  void Write(DWORD level, const char* text) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_lines.push_back({level, text});
  }
  std::vector<Line> Lines() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_lines;
  }
  int Count(const std::string& text) {
    std::lock_guard<std::mutex> lock(m_mutex);
    return static_cast<int>(
        std::count_if(m_lines.begin(), m_lines.end(), [&](const Line& l) { return l.text == text; }));
  }
  bool Has(DWORD level, const std::string& text) {
    std::lock_guard<std::mutex> lock(m_mutex);
    return std::any_of(m_lines.begin(), m_lines.end(),
                       [&](const Line& l) { return l.level == level && l.text == text; });
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_lines.clear();
  }

 private:
  std::mutex m_mutex;
  std::vector<Line> m_lines;
};

}  // namespace zoltest
