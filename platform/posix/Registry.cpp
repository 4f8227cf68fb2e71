#include "platform/Registry.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <iterator>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/Error.h"
#include "platform/Paths.h"
#include "platform/Text.h"
#include "platform/posix/PosixError.h"
#include "platform/posix/UniqueFd.h"

// The registry file in the text format regedit exports:
//   Windows Registry Editor Version 5.00      (or REGEDIT4; optional)
//   [HKEY_LOCAL_MACHINE\SOFTWARE\HALVERN\Quillmere]
//   "NUMBER_OF_REQ_COM_PORTS"=dword:00000002
// Blank lines and ';' comments are skipped, a trailing '\' continues a value
// on the next line, "[-KEY]" deletes a key and "NAME"=- a value. Names of keys
// and values compare without regard to case, as the registry does.
namespace sys {
namespace {

constexpr char kMachineHive[] = "HKEY_LOCAL_MACHINE";

struct Value {
  bool isDword = false;
  std::uint32_t dword = 0;
};

struct ParsedFile {
  std::map<std::string, std::map<std::string, Value>> keys;  // folded key -> folded value name
};

std::string Fold(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

std::string Trim(const std::string& text) {
  const auto first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return {};
  const auto last = text.find_last_not_of(" \t");
  return text.substr(first, last - first + 1);
}

// Reads the whole file; a failure stores the system error.
std::optional<std::string> ReadFile(const std::string& path, std::uint32_t& error) {
  const posix::UniqueFd file(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!file) {
    error = posix::Win32FromErrno(errno);
    return std::nullopt;
  }
  std::string data;
  char buffer[4096];
  for (;;) {
    const ssize_t n = read(file.Get(), buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      error = posix::Win32FromErrno(errno);
      return std::nullopt;
    }
    if (n == 0) break;
    data.append(buffer, static_cast<std::size_t>(n));
  }
  return data;
}

// UTF-16LE with a byte-order mark, or UTF-8 with or without one, as UTF-8.
std::optional<std::string> DecodeText(const std::string& data) {
  if (data.size() >= 2 && static_cast<unsigned char>(data[0]) == 0xFF && static_cast<unsigned char>(data[1]) == 0xFE) {
    if (data.size() % 2 != 0) return std::nullopt;
    std::u16string units;
    for (std::size_t i = 2; i + 1 < data.size(); i += 2) {
      units += static_cast<char16_t>(static_cast<unsigned char>(data[i]) | (static_cast<unsigned char>(data[i + 1]) << 8));
    }
    std::wstring wide;
    for (std::size_t i = 0; i < units.size(); ++i) {
      char32_t c = units[i];
      if (c >= 0xD800 && c <= 0xDBFF && i + 1 < units.size() && units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF) {
        c = 0x10000 + ((c - 0xD800) << 10) + (units[i + 1] - 0xDC00);
        ++i;
      }
      wide += static_cast<wchar_t>(c);
    }
    return ToUtf8(wide);
  }
  if (data.size() >= 3 && data.compare(0, 3, "\xEF\xBB\xBF") == 0) return data.substr(3);
  if (data.find('\0') != std::string::npos) return std::nullopt;  // binary, or UTF-16 without a mark
  return data;
}

// Logical lines: LF or CR LF ends, a trailing '\' joins the next line.
std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::string current;
  std::size_t start = 0;
  while (start <= text.size()) {
    auto end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const std::string trimmed = Trim(line);
    if (!trimmed.empty() && trimmed.back() == '\\' && trimmed.front() != '[') {
      current += trimmed.substr(0, trimmed.size() - 1);
    } else {
      lines.push_back(current.empty() ? line : current + Trim(line));
      current.clear();
    }
    start = end + 1;
  }
  if (!current.empty()) lines.push_back(current);
  return lines;
}

// A quoted name with \\ and \" escapes at text[pos]; advances pos past it.
std::optional<std::string> ParseQuoted(const std::string& text, std::size_t& pos) {
  if (pos >= text.size() || text[pos] != '"') return std::nullopt;
  std::string out;
  for (++pos; pos < text.size(); ++pos) {
    const char c = text[pos];
    if (c == '"') {
      ++pos;
      return out;
    }
    if (c == '\\') {
      if (++pos >= text.size()) return std::nullopt;
    }
    out += text[pos];
  }
  return std::nullopt;
}

std::optional<std::uint32_t> ParseDword(const std::string& digits) {
  if (digits.empty() || digits.size() > 8) return std::nullopt;
  std::uint32_t value = 0;
  for (char c : digits) {
    int d;
    if (c >= '0' && c <= '9') d = c - '0';
    else if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
    else return std::nullopt;
    value = (value << 4) | static_cast<std::uint32_t>(d);
  }
  return value;
}

// Checks a value's data without keeping it unless it is a REG_DWORD;
// nullopt when malformed.
std::optional<Value> ParseData(const std::string& data) {
  if (data.rfind("dword:", 0) == 0) {
    const auto dword = ParseDword(data.substr(6));
    if (!dword) return std::nullopt;
    return Value{true, *dword};
  }
  if (!data.empty() && data[0] == '"') {
    std::size_t pos = 0;
    if (!ParseQuoted(data, pos) || pos != data.size()) return std::nullopt;
    return Value{};
  }
  if (data.rfind("hex", 0) == 0) {
    std::size_t pos = 3;
    if (pos < data.size() && data[pos] == '(') {
      const auto close = data.find(')', pos);
      if (close == std::string::npos || close == pos + 1) return std::nullopt;
      for (std::size_t k = pos + 1; k < close; ++k) {
        if (!ParseDword(std::string(1, data[k]))) return std::nullopt;
      }
      pos = close + 1;
    }
    if (pos >= data.size() || data[pos] != ':') return std::nullopt;
    std::string bytes = data.substr(pos + 1);
    std::size_t start = 0;
    while (!bytes.empty() && start <= bytes.size()) {
      auto comma = bytes.find(',', start);
      if (comma == std::string::npos) comma = bytes.size();
      const std::string byte = Trim(bytes.substr(start, comma - start));
      if (byte.size() != 2 || !ParseDword(byte)) return std::nullopt;
      start = comma + 1;
    }
    return Value{};
  }
  return std::nullopt;
}

bool IsUnder(const std::string& key, const std::string& parent) {
  return key == parent || (key.size() > parent.size() && key.compare(0, parent.size(), parent) == 0 &&
                           key[parent.size()] == '\\');
}

// The whole file, or nullopt when a line is malformed.
std::optional<ParsedFile> Parse(const std::string& text) {
  ParsedFile file;
  std::map<std::string, Value>* section = nullptr;  // nullptr: no section yet, or another hive
  bool inSection = false;
  bool firstLine = true;
  for (const std::string& raw : SplitLines(text)) {
    const std::string line = Trim(raw);
    if (line.empty() || line[0] == ';') continue;
    const bool wasFirst = std::exchange(firstLine, false);
    if (wasFirst && (line == "Windows Registry Editor Version 5.00" || line == "REGEDIT4")) continue;
    if (line[0] == '[') {
      if (line.back() != ']' || line.size() < 3) return std::nullopt;
      std::string path = line.substr(1, line.size() - 2);
      const bool remove = path[0] == '-';
      if (remove) path.erase(0, 1);
      while (!path.empty() && path.back() == '\\') path.pop_back();
      if (path.empty() || path.find('[') != std::string::npos || path.find(']') != std::string::npos) return std::nullopt;
      const std::string folded = Fold(path);
      inSection = true;
      section = nullptr;
      const std::string hive = Fold(kMachineHive);
      if (!IsUnder(folded, hive)) continue;  // another hive: parsed, not kept
      if (remove) {
        for (auto it = file.keys.begin(); it != file.keys.end();) {
          it = IsUnder(it->first, folded) ? file.keys.erase(it) : std::next(it);
        }
        continue;
      }
      section = &file.keys[folded];
      continue;
    }
    if (!inSection) return std::nullopt;  // a value before any key
    std::size_t pos = 0;
    std::string name;
    if (line[0] == '@') {
      pos = 1;  // the key's default value
    } else {
      auto quoted = ParseQuoted(line, pos);
      if (!quoted) return std::nullopt;
      name = *quoted;
    }
    while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t')) ++pos;
    if (pos >= line.size() || line[pos] != '=') return std::nullopt;
    const std::string data = Trim(line.substr(pos + 1));
    if (data == "-") {
      if (section) section->erase(Fold(name));
      continue;
    }
    const auto value = ParseData(data);
    if (!value) return std::nullopt;
    if (section) (*section)[Fold(name)] = *value;
  }
  return file;
}

}  // namespace

RegistryResult ReadRegistryDword(const std::wstring& subKey, const std::wstring& valueName, std::uint32_t& value) {
  const auto fail = [](RegistryStatus status, std::uint32_t error) {
    SetLastError(error);
    return RegistryResult{status, error};
  };
  std::uint32_t error = 0;
  const auto data = ReadFile(ToUtf8(GetFixedPath(FixedPath::Registry)), error);
  if (!data) {
    if (error == posix::kErrorFileNotFound || error == posix::kErrorPathNotFound) return fail(RegistryStatus::NoKey, posix::kErrorFileNotFound);
    return fail(RegistryStatus::Failed, error);
  }
  const auto text = DecodeText(*data);
  const auto file = text ? Parse(*text) : std::nullopt;
  if (!file) return fail(RegistryStatus::Failed, posix::kErrorBadDb);

  std::string key = Fold(std::string(kMachineHive) + "\\" + ToUtf8(subKey));
  while (!key.empty() && key.back() == '\\') key.pop_back();
  bool keyExists = false;
  for (const auto& [path, values] : file->keys) {
    if (IsUnder(path, key)) keyExists = true;
  }
  if (!keyExists) return fail(RegistryStatus::NoKey, posix::kErrorFileNotFound);
  const auto section = file->keys.find(key);
  if (section == file->keys.end()) return fail(RegistryStatus::NoValue, posix::kErrorFileNotFound);
  const auto found = section->second.find(Fold(ToUtf8(valueName)));
  if (found == section->second.end()) return fail(RegistryStatus::NoValue, posix::kErrorFileNotFound);
  if (!found->second.isDword) return fail(RegistryStatus::WrongType, posix::kErrorInvalidData);
  value = found->second.dword;
  return RegistryResult{RegistryStatus::Ok, 0};
}

}  // namespace sys
