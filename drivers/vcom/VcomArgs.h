#pragma once
// vcomd's command line: --ports N[,N...] (or --ports=N,...), COM numbers
// 1..kMaxPort, each at most once.
#include <set>
#include <string>
#include <vector>

namespace vcom {

inline constexpr unsigned kMaxPort = 255;

// Decimal digits only, 1..kMaxPort.
inline bool ParsePortNumber(const std::string& text, unsigned& value) {
  if (text.empty() || text.size() > 3) return false;
  unsigned v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<unsigned>(c - '0');
  }
  if (v == 0 || v > kMaxPort) return false;
  value = v;
  return true;
}

inline bool ParseArgs(const std::vector<std::string>& args, std::vector<unsigned>& ports,
                      std::string& error) {
  std::string list;
  bool seen = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--ports" && i + 1 < args.size()) {
      list = args[++i];
      seen = true;
    } else if (args[i].rfind("--ports=", 0) == 0) {
      list = args[i].substr(8);
      seen = true;
    } else {
      error = "unknown argument '" + args[i] + "'";
      return false;
    }
  }
  if (!seen || list.empty()) {
    error = "no ports given";
    return false;
  }
  std::set<unsigned> unique;
  std::size_t start = 0;
  while (start <= list.size()) {
    std::size_t comma = list.find(',', start);
    std::string item = list.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
    unsigned n = 0;
    if (!ParsePortNumber(item, n)) {
      error = "port '" + item + "' is not a COM number from 1 to " + std::to_string(kMaxPort);
      return false;
    }
    if (!unique.insert(n).second) {
      error = "port " + item + " is given twice";
      return false;
    }
    ports.push_back(n);
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  return true;
}

}  // namespace vcom
