#pragma once
// Test doubles for the line-display core: a log sink that keeps every line,
// and the report bytes the display's actions carry.
#include <string>
#include <vector>

#include "plugins/ld/LdDisplay.h"
#include "plugins/ld/LdLog.h"
#include "plugins/ld/LdReports.h"
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
// The plug-in's own report builder; LdLineReports pins its checksum with
// fixed bytes.
inline Bytes LineReport(BYTE command, const std::string& text) {
  std::string line = text;
  line.resize(ldreport::kLineColumns, ' ');
  const auto report = ldreport::Line(command, reinterpret_cast<const BYTE*>(line.data()));
  return Bytes(report.begin(), report.end());
}

inline Bytes Of(const std::string& s) { return Bytes(s.begin(), s.end()); }

}  // namespace ldtest
