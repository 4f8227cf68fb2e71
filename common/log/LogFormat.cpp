// Line bytes, hex dump layout and message formatting of the log client.
#include <climits>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>

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

// Text of a conversion into the output: narrow bytes widen to one unit each,
// wide units narrow to their low byte.
void AppendText(std::string& out, const char* s, std::size_t n) { out.append(s, n); }
void AppendText(std::wstring& out, const char* s, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) out += static_cast<wchar_t>(static_cast<unsigned char>(s[i]));
}
void AppendText(std::string& out, const wchar_t* s, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) out += static_cast<char>(static_cast<std::uint32_t>(s[i]) & 0xFFu);
}
void AppendText(std::wstring& out, const wchar_t* s, std::size_t n) { out.append(s, n); }

template <typename Out, typename Text>
void AppendPadded(Out& out, const Text* s, std::size_t n, int width, bool left) {
  const std::size_t pad = width > 0 && static_cast<std::size_t>(width) > n ? static_cast<std::size_t>(width) - n : 0;
  if (!left) out.append(pad, ' ');
  AppendText(out, s, n);
  if (left) out.append(pad, ' ');
}

// One numeric conversion through the C library (digits and signs only: no
// text passes the locale). The conversion is built from the caller's format, so it
// is no literal; Format picks the argument's type to match its conversion.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
template <typename Out, typename T>
void AppendNumber(Out& out, const std::string& spec, T value) {
  char buf[128];
  int n = std::snprintf(buf, sizeof buf, spec.c_str(), value);
  if (n < 0) return;
  if (static_cast<std::size_t>(n) < sizeof buf) {
    AppendText(out, buf, static_cast<std::size_t>(n));
    return;
  }
  std::string big(static_cast<std::size_t>(n) + 1, '\0');
  std::snprintf(big.data(), big.size(), spec.c_str(), value);
  AppendText(out, big.data(), static_cast<std::size_t>(n));
}
#pragma GCC diagnostic pop

template <typename Ch>
bool IsDigit(Ch c) {
  return c >= Ch('0') && c <= Ch('9');
}

template <typename Ch>
std::basic_string<Ch> Format(const Ch* fmt, va_list args) {
  constexpr bool kWideFormat = sizeof(Ch) != 1;
  std::basic_string<Ch> out;
  if (fmt == nullptr) return out;
  // One buffer for a whole message: a buffer outgrown and freed would keep
  // what it held (card text among it) where no one wipes it.
  out.reserve(kMaxMessage + 1);
  va_list ap;
  va_copy(ap, args);
  const Ch* p = fmt;
  while (*p && out.size() <= kMaxMessage) {
    if (*p != Ch('%')) {
      out += *p++;
      continue;
    }
    ++p;
    if (*p == Ch('%')) {
      out += *p++;
      continue;
    }
    std::string spec = "%";
    bool left = false;
    while (*p == Ch('-') || *p == Ch('+') || *p == Ch(' ') || *p == Ch('#') || *p == Ch('0')) {
      left |= *p == Ch('-');
      spec += static_cast<char>(*p++);
    }
    int width = -1;
    if (*p == Ch('*')) {
      width = va_arg(ap, int);
      if (width < 0) {
        left = true;
        width = width == INT_MIN ? INT_MAX : -width;
        spec += '-';
      }
      ++p;
    } else {
      for (width = IsDigit(*p) ? 0 : -1; IsDigit(*p); ++p) width = width > 100000 ? width : width * 10 + (*p - Ch('0'));
    }
    int precision = -1;
    if (*p == Ch('.')) {
      ++p;
      if (*p == Ch('*')) {
        precision = va_arg(ap, int);
        ++p;
      } else {
        for (precision = 0; IsDigit(*p); ++p) precision = precision > 100000 ? precision : precision * 10 + (*p - Ch('0'));
      }
    }
    if (width >= 0) spec += std::to_string(width);
    if (precision >= 0) spec += "." + std::to_string(precision);
    std::string length;
    if (*p == Ch('h') || *p == Ch('l')) {
      length += static_cast<char>(*p++);
      if (*p == Ch(length[0])) length += static_cast<char>(*p++);
    } else if (*p == Ch('w')) {
      length = "w";
      ++p;
    } else if (*p == Ch('j') || *p == Ch('z') || *p == Ch('t') || *p == Ch('L')) {
      length += static_cast<char>(*p++);
    } else if (*p == Ch('I') && p[1] == Ch('6') && p[2] == Ch('4')) {
      length = "ll";
      p += 3;
    }
    const Ch conv = *p;
    if (conv == Ch('\0')) break;
    ++p;
    // The argument is wide for: w or l, S in a narrow format, or s / c
    // without h in a wide one.
    const bool upper = conv == Ch('S') || conv == Ch('C');
    const bool wideArg = length == "w" || length == "l" || (upper ? !kWideFormat : (kWideFormat && length != "h"));
    switch (static_cast<char>(conv)) {
      case 's':
      case 'S': {
        const std::size_t most = precision >= 0 ? static_cast<std::size_t>(precision) : static_cast<std::size_t>(-1);
        if (wideArg) {
          const wchar_t* a = va_arg(ap, const wchar_t*);
          if (a == nullptr) a = L"(null)";
          std::size_t n = 0;
          while (n < most && a[n] != L'\0') ++n;
          AppendPadded(out, a, n, width, left);
        } else {
          const char* a = va_arg(ap, const char*);
          if (a == nullptr) a = "(null)";
          std::size_t n = 0;
          while (n < most && a[n] != '\0') ++n;
          AppendPadded(out, a, n, width, left);
        }
        break;
      }
      case 'c':
      case 'C':
        if (wideArg) {
          // wint_t as it arrives through "..." (promoted where it is narrower than int).
          const wchar_t c = static_cast<wchar_t>(va_arg(ap, decltype(+wint_t{})));
          AppendPadded(out, &c, 1, width, left);
        } else {
          const char c = static_cast<char>(va_arg(ap, int));
          AppendPadded(out, &c, 1, width, left);
        }
        break;
      case 'd':
      case 'i':
        if (length == "l") AppendNumber(out, spec + "ld", va_arg(ap, long));
        else if (length == "ll") AppendNumber(out, spec + "lld", va_arg(ap, long long));
        else if (length == "j") AppendNumber(out, spec + "jd", va_arg(ap, intmax_t));
        else if (length == "z" || length == "t") AppendNumber(out, spec + "td", va_arg(ap, std::ptrdiff_t));
        else AppendNumber(out, spec + length + "d", va_arg(ap, int));
        break;
      case 'u':
      case 'o':
      case 'x':
      case 'X': {
        const char c = static_cast<char>(conv);
        if (length == "l") AppendNumber(out, spec + "l" + c, va_arg(ap, unsigned long));
        else if (length == "ll") AppendNumber(out, spec + "ll" + c, va_arg(ap, unsigned long long));
        else if (length == "j") AppendNumber(out, spec + "j" + c, va_arg(ap, uintmax_t));
        else if (length == "z" || length == "t") AppendNumber(out, spec + "z" + c, va_arg(ap, std::size_t));
        else AppendNumber(out, spec + length + c, va_arg(ap, unsigned));
        break;
      }
      case 'p':
        AppendNumber(out, spec + "p", va_arg(ap, void*));
        break;
      case 'f':
      case 'F':
      case 'e':
      case 'E':
      case 'g':
      case 'G':
      case 'a':
      case 'A': {
        const char c = static_cast<char>(conv);
        if (length == "L") AppendNumber(out, spec + "L" + c, va_arg(ap, long double));
        else AppendNumber(out, spec + c, va_arg(ap, double));
        break;
      }
      case 'n':
        (void)va_arg(ap, void*);  // never written through
        break;
      default:
        // Not a conversion: kept as it stands.
        out += Ch('%');
        out += conv;
        break;
    }
  }
  va_end(ap);
  if (out.size() > kMaxMessage) out.resize(kMaxMessage);
  return out;
}

}  // namespace

std::string FormatMessageV(const char* fmt, va_list args) { return Format(fmt, args); }
std::wstring FormatMessageWV(const wchar_t* fmt, va_list args) { return Format(fmt, args); }

std::string Narrow(const std::wstring& text) {
  std::string out;
  out.reserve(text.size());
  for (wchar_t c : text) out += static_cast<char>(static_cast<unsigned char>(static_cast<std::uint32_t>(c) & 0xFFu));
  return out;
}

}  // namespace zollog
