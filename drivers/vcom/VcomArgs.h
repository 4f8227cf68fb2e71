#pragma once
// vcomd's command line: --ports N[,N...] (or --ports=N,...), COM numbers
// 1..kMaxPort, each at most once; --group NAME and --mode OCTAL, the group and
// mode of each port's pty slave (the convention of serial ports: dialout, 0660).
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

struct Options {
  std::vector<unsigned> ports;
  std::string group = "dialout";
  unsigned mode = 0660;
};

// Octal permission bits only: no set-id or sticky bits on a terminal.
inline bool ParseMode(const std::string& text, unsigned& value) {
  if (text.empty() || text.size() > 4) return false;
  unsigned v = 0;
  for (char c : text) {
    if (c < '0' || c > '7') return false;
    v = v * 8 + static_cast<unsigned>(c - '0');
  }
  if (v > 0777) return false;
  value = v;
  return true;
}

// "--name value" or "--name=value"; advances i past what it took.
inline bool TakeOption(const std::vector<std::string>& args, std::size_t& i, const std::string& name,
                       std::string& value) {
  if (args[i] == name && i + 1 < args.size()) {
    value = args[++i];
    return true;
  }
  if (args[i].rfind(name + "=", 0) == 0) {
    value = args[i].substr(name.size() + 1);
    return true;
  }
  return false;
}

inline bool ParseArgs(const std::vector<std::string>& args, Options& options, std::string& error) {
  std::vector<unsigned>& ports = options.ports;
  std::string list;
  bool seen = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string value;
    if (TakeOption(args, i, "--ports", value)) {
      list = value;
      seen = true;
    } else if (TakeOption(args, i, "--group", value)) {
      if (value.empty()) {
        error = "--group needs a group name";
        return false;
      }
      options.group = value;
    } else if (TakeOption(args, i, "--mode", value)) {
      if (!ParseMode(value, options.mode)) {
        error = "mode '" + value + "' is not an octal file mode from 0 to 0777";
        return false;
      }
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

inline bool ParseArgs(const std::vector<std::string>& args, std::vector<unsigned>& ports, std::string& error) {
  Options options;
  if (!ParseArgs(args, options, error)) return false;
  ports = options.ports;
  return true;
}

}  // namespace vcom
