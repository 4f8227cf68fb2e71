// Line bytes, hex dump layout and message formatting of the log client.
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <cwchar>

#include "common/log/LogClient.h"
#include "common/log/ZolLog.h"

namespace zollog {

const char* LevelName(DWORD level) {
  switch (level) {
    case 0: return "LEVEL_OFF     ";
    case 1: return "LEVEL_ERROR   ";
    case 2: return "LEVEL_WARNING ";
    case 3: return "LEVEL_INFO    ";
    case 4: return "LEVEL_VERBOSE ";
    case 5: return "LEVEL_TRACE   ";
    default: return "";
  }
}

const char* ModuleName(DWORD module) {
  switch (module) {
    case ZOL_DRIVER: return "ZOL_DRIVER     ";
    case ZOL_SERVICE: return "ZOL_SERVICE    ";
    case ZOL_IOBUS: return "ZOL_IOBUS      ";
    case ZOL_MSRUSB: return "ZOL_MSRUSB     ";
    case ZOL_CDUSB: return "ZOL_CDUSB      ";
    case ZOL_LDUSB: return "ZOL_LDUSB      ";
    default: return "";
  }
}

std::string FormatLine(const LogRecord& r) {
  std::string line;
  if (r.module & LOG_CONTINUATION) {
    line.assign(72, ' ');
    line += r.text;
    line += "\r\n";
    return line;
  }
  char time[256];
  std::snprintf(time, sizeof time, "%02d/%02d/%04d %02d:%02d:%02d.%03hu", r.time.day, r.time.month,
                r.time.year, r.time.hour, r.time.minute, r.time.second,
                static_cast<unsigned short>(r.time.millisecond));
  char pid[32];
  char tid[32];
  std::snprintf(pid, sizeof pid, "P[%04x]", r.processId);
  std::snprintf(tid, sizeof tid, "T[%04x]", r.threadId);
  // A level of 0 is never written, so the table's level-0 name never appears.
  const char* levelName = (r.level >= 1 && r.level <= 5) ? LevelName(r.level) : "";
  line.reserve(96 + r.text.size());
  line += time;
  line += '\t';
  line += pid;
  line += '\t';
  line += tid;
  line += '\t';
  line += ModuleName(r.module);
  line += '\t';
  line += levelName;
  line += '\t';
  line += r.text;
  line += "\r\n";
  return line;
}

std::vector<std::string> HexDumpLines(const unsigned char* data, std::size_t length) {
  std::vector<std::string> lines;
  std::string hex;
  std::string chars;
  int lineNo = 1;
  std::size_t onLine = 0;
  auto begin = [&] {
    char no[16];
    std::snprintf(no, sizeof no, "%03d) ", lineNo);
    hex = no;
    chars.clear();
    onLine = 0;
  };
  begin();
  for (std::size_t i = 0; i < length; ++i) {
    char b[8];
    std::snprintf(b, sizeof b, "%02x ", data[i]);
    hex += b;
    ++onLine;
    if (onLine % 4 == 0) hex += "  ";
    chars += data[i] < 0x21 ? '.' : static_cast<char>(data[i]);
    if (onLine == 16) {
      lines.push_back(hex + chars);
      ++lineNo;
      begin();
    }
  }
  if (onLine != 0) {
    std::size_t groupsLeft = 4 - onLine / 4;
    std::string pad((16 - onLine) * 3 + groupsLeft * 2, ' ');
    lines.push_back(hex + pad + chars);
  }
  return lines;
}

namespace {

// Conversions of the system's formats that the C library spells differently:
// "%ws" / "%S" (wide string in a narrow format) become "%ls"; in a wide
// format "%s" and "%c" take wide arguments, "%S", "%hs" narrow ones.
template <typename Ch>
bool IsFlagOrWidth(Ch c) {
  const auto u = static_cast<std::uint32_t>(c);
  return u < 0x80 && std::strchr("-+ #0123456789.*", static_cast<int>(u)) != nullptr;
}

template <typename Ch>
std::basic_string<Ch> Translate(const Ch* fmt, bool wide) {
  std::basic_string<Ch> out;
  if (fmt == nullptr) return out;
  for (const Ch* p = fmt; *p;) {
    if (*p != Ch('%')) {
      out += *p++;
      continue;
    }
    out += *p++;
    if (*p == Ch('%')) {
      out += *p++;
      continue;
    }
    // flags, width, precision
    while (*p && IsFlagOrWidth(*p)) out += *p++;
    if (*p == Ch('w') && (p[1] == Ch('s') || p[1] == Ch('c'))) {
      out += Ch('l');
      out += p[1];
      p += 2;
    } else if (*p == Ch('h') && (p[1] == Ch('s') || p[1] == Ch('c'))) {
      out += p[1];  // narrow argument in either format
      p += 2;
    } else if (*p == Ch('S') || *p == Ch('C')) {
      if (wide) {
        out += Ch(*p == Ch('S') ? 's' : 'c');
      } else {
        out += Ch('l');
        out += Ch(*p == Ch('S') ? 's' : 'c');
      }
      ++p;
    } else if (wide && (*p == Ch('s') || *p == Ch('c'))) {
      out += Ch('l');
      out += *p++;
    }
  }
  return out;
}

}  // namespace

std::string TranslateFormat(const char* fmt) { return Translate<char>(fmt, false); }
std::wstring TranslateFormat(const wchar_t* fmt) { return Translate<wchar_t>(fmt, true); }

std::string FormatMessageV(const char* fmt, va_list args) {
  std::string f = TranslateFormat(fmt);
  char buf[kMaxMessage + 1];
  va_list copy;
  va_copy(copy, args);
  int n = std::vsnprintf(buf, sizeof buf, f.c_str(), copy);
  va_end(copy);
  if (n < 0) return std::string();
  return std::string(buf, static_cast<std::size_t>(n) < kMaxMessage ? static_cast<std::size_t>(n) : kMaxMessage);
}

std::wstring FormatMessageWV(const wchar_t* fmt, va_list args) {
  std::wstring f = TranslateFormat(fmt);
  // vswprintf reports truncation only as a failure: grow until the text fits,
  // then cut it as the fixed buffer does.
  std::vector<wchar_t> buf(kMaxMessage + 1);
  for (;;) {
    va_list copy;
    va_copy(copy, args);
    int n = std::vswprintf(buf.data(), buf.size(), f.c_str(), copy);
    va_end(copy);
    if (n >= 0) {
      std::size_t len = static_cast<std::size_t>(n) < kMaxMessage ? static_cast<std::size_t>(n) : kMaxMessage;
      return std::wstring(buf.data(), len);
    }
    if (buf.size() >= (1u << 20)) return std::wstring();  // a conversion error, not length
    buf.resize(buf.size() * 4);
  }
}

std::string Narrow(const std::wstring& text) {
  std::string out;
  out.reserve(text.size());
  for (wchar_t c : text) out += static_cast<char>(static_cast<unsigned char>(static_cast<std::uint32_t>(c) & 0xFFu));
  return out;
}

}  // namespace zollog
