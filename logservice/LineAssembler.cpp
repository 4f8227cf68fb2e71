#include "logservice/LineAssembler.h"

#include <cstring>

namespace zollogsvc {

namespace {

// The end (one past LF) of the first CR LF in base[from, limit), or npos.
std::size_t LineEnd(const char* base, std::size_t from, std::size_t limit) {
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
  // Without a pending part the received bytes are cut where they are.
  const bool inPlace = m_pending.empty();
  if (!inPlace) m_pending.append(data, size);
  const char* base = inPlace ? data : m_pending.data();
  const std::size_t length = inPlace ? size : m_pending.size();
  std::size_t pos = 0;
  std::size_t run = 0;  // start of the whole lines not yet passed on
  for (;;) {
    const std::size_t left = length - pos;
    const std::size_t limit = pos + (left < kChunkSize ? left : kChunkSize);
    std::size_t end = LineEnd(base, pos, limit);
    if (end != std::string::npos) {
      pos = end;
    } else if (left >= kChunkSize) {
      // No line end within a chunk: this line is too long to pass on whole.
      out.append(base + run, pos + kPieceBytes - run);
      out += "\r\n";
      pos += kPieceBytes;
      run = pos;
    } else {
      break;
    }
  }
  out.append(base + run, pos - run);
  if (inPlace) {
    m_pending.assign(base + pos, length - pos);
  } else {
    m_pending.erase(0, pos);
  }
}
void LineAssembler::Finish(std::string& out) {
  if (m_pending.empty()) return;
  out += m_pending;
  out += "\r\n";
  m_pending.clear();
}

}  // namespace zollogsvc
