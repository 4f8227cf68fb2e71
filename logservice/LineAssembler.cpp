#include "logservice/LineAssembler.h"

#include <cstring>

namespace zollogsvc {

namespace {

// The end (one past LF) of the first CR LF in [from, limit), or npos.
std::size_t LineEnd(const std::string& s, std::size_t from, std::size_t limit) {
  const char* base = s.data();
  std::size_t i = from + 1;
  while (i < limit) {
    const void* lf = std::memchr(base + i, '\n', limit - i);
    if (lf == nullptr) return std::string::npos;
    i = static_cast<std::size_t>(static_cast<const char*>(lf) - base);
    if (base[i - 1] == '\r') return i + 1;
    ++i;
  }
  return std::string::npos;
}

}  // namespace

void LineAssembler::Feed(const char* data, std::size_t size, std::string& out) {
  m_pending.append(data, size);
  std::size_t pos = 0;
  for (;;) {
    const std::size_t left = m_pending.size() - pos;
    const std::size_t limit = pos + (left < kChunkSize ? left : kChunkSize);
    std::size_t end = LineEnd(m_pending, pos, limit);
    if (end != std::string::npos) {
      out.append(m_pending, pos, end - pos);
      pos = end;
    } else if (left >= kChunkSize) {
      // No line end within a chunk: this line is too long to pass on whole.
      out.append(m_pending, pos, kPieceBytes);
      out += "\r\n";
      pos += kPieceBytes;
    } else {
      break;
    }
  }
  m_pending.erase(0, pos);
}

void LineAssembler::Finish(std::string& out) {
  if (m_pending.empty()) return;
  out += m_pending;
  out += "\r\n";
  m_pending.clear();
}

}  // namespace zollogsvc
