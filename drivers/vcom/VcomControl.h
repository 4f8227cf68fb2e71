#pragma once
// What vcomd makes of the bytes a local user sends to its control socket:
// lines and commands. Pure functions, so that the fuzz target runs them as
// vcomd does.
#include <cstddef>
#include <sstream>
#include <string>
#include <vector>

#include "drivers/vcom/VcomArgs.h"

namespace vcom {

// The control socket's bytes, cut into lines (LF or CR LF). A line that never
// ends is bounded: past kMaxCtlPending bytes the connection is closed.
inline constexpr std::size_t kMaxCtlPending = 1024;

class CtlLines {
 public:
  // Appends bytes and moves the finished lines to lines; false when the
  // unfinished rest has grown past the bound.
  bool Append(const char* data, std::size_t size, std::vector<std::string>& lines) {
    m_pending.append(data, size);
    std::size_t start = 0, eol;
    while ((eol = m_pending.find('\n', start)) != std::string::npos) {
      std::string line = m_pending.substr(start, eol - start);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      lines.push_back(std::move(line));
      start = eol + 1;
    }
    m_pending.erase(0, start);
    return m_pending.size() <= kMaxCtlPending;
  }
  std::size_t Pending() const { return m_pending.size(); }

 private:
  std::string m_pending;
};

struct CtlCommand {
  enum class Kind { Status, Hold, HoldUsage, Unknown };
  Kind kind = Kind::Unknown;
  unsigned port = 0;  // Hold: 1..kMaxPort
  bool on = false;    // Hold: the hold to set
};

inline CtlCommand ParseCtlLine(const std::string& line) {
  std::istringstream in(line);
  std::string word;
  in >> word;
  CtlCommand c;
  if (word == "status") {
    c.kind = CtlCommand::Kind::Status;
  } else if (word == "hold") {
    std::string n, v, extra;
    in >> n >> v >> extra;
    unsigned port = 0;
    c.kind = CtlCommand::Kind::HoldUsage;
    if (ParsePortNumber(n, port) && (v == "0" || v == "1") && extra.empty()) {
      c.kind = CtlCommand::Kind::Hold;
      c.port = port;
      c.on = v == "1";
    }
  }
  return c;
}

}  // namespace vcom
