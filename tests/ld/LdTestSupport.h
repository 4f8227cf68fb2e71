#pragma once
// Test doubles for the line-display core: a log sink that keeps every line,
// and the report bytes the display's actions carry.
#include <string>
#include <vector>

#include "plugins/ld/LdDisplay.h"
#include "plugins/ld/LdLog.h"
#include "tests/support/LogLines.h"

namespace ldtest {

using Bytes = std::vector<BYTE>;

// Keeps every line of the core while it lives.
class LogCapture : public zoltest::LogLines {
 public:
  LogCapture() { SetLdLogSink(this); }
  ~LogCapture() { SetLdLogSink(nullptr); }
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
