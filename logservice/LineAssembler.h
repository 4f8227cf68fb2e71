#pragma once
// Cuts one client's byte stream into whole lines for the file, so that lines
// of different clients never mix.
//
// A line of at most kChunkSize bytes (its CR LF included) is passed on whole.
// A longer line is passed on as lines of its own: each kPieceBytes of it
// closed with CR LF, then its rest. What is left when the connection ends (a
// line cut off by a close or a reset) is closed with CR LF too. Every line
// passed on therefore ends in CR LF and is at most kChunkSize bytes long.
#include <cstddef>
#include <string>

namespace zollogsvc {

inline constexpr std::size_t kChunkSize = 4096;
inline constexpr std::size_t kPieceBytes = kChunkSize - 2;

class LineAssembler {
 public:
  // Appends received bytes; the lines now complete are appended to out.
  void Feed(const char* data, std::size_t size, std::string& out);
  // The connection ended: an unfinished line goes to out, closed with CR LF.
  void Finish(std::string& out);
  std::size_t Pending() const { return m_pending.size(); }

 private:
  std::string m_pending;  // bytes after the last line passed on; fewer than kChunkSize
};

// Packs whole lines (as LineAssembler passes them on) into chunks of at most
// kChunkSize bytes, each ending at a line end; calls push(data, size) per chunk.
template <typename Push>
void ForEachChunk(const std::string& lines, Push push) {
  std::size_t start = 0;
  while (lines.size() - start > kChunkSize) {
    // The last line end within the chunk; a line is never longer than one.
    std::size_t crlf = lines.rfind("\r\n", start + kChunkSize - 2);
    std::size_t end = crlf == std::string::npos || crlf < start ? start + kChunkSize : crlf + 2;
    push(lines.data() + start, end - start);
    start = end;
  }
  if (start < lines.size()) push(lines.data() + start, lines.size() - start);
}

}  // namespace zollogsvc
