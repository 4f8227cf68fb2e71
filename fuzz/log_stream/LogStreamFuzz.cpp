// Arbitrary bytes as one client's TCP stream to the logging service, received
// in arbitrary pieces: the line assembler must pass on only whole lines of at
// most one chunk, lose and add nothing but the CR LF that closes a cut line,
// and give the same lines however the stream was cut into receives.
//
// Input: byte 0 repeats the rest 1 to 4 times (so lines can outgrow a chunk),
// byte 1 seeds the receive sizes.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "logservice/LineAssembler.h"

namespace {

using zollogsvc::kChunkSize;

void Check(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  std::string stream;
  const std::string body(reinterpret_cast<const char*>(data) + 2, size - 2);
  for (int i = 0; i <= data[0] % 4; ++i) stream += body;

  zollogsvc::LineAssembler whole;
  std::string expected;
  whole.Feed(stream.data(), stream.size(), expected);
  whole.Finish(expected);

  zollogsvc::LineAssembler pieces;
  std::string lines;
  std::uint32_t seed = data[1] * 2654435761u + 1;
  for (std::size_t pos = 0; pos < stream.size();) {
    seed = seed * 1103515245u + 12345u;
    std::size_t n = 1 + (seed >> 8) % 6000;
    if (n > stream.size() - pos) n = stream.size() - pos;
    pieces.Feed(stream.data() + pos, n, lines);
    Check(pieces.Pending() < kChunkSize);
    pos += n;
  }
  pieces.Finish(lines);
  Check(pieces.Pending() == 0);
  Check(lines == expected);

  // Every line is whole and fits a chunk; without the CR LF added to cut
  // lines the stream is unchanged.
  std::size_t in = 0;
  for (std::size_t at = 0; at < lines.size();) {
    std::size_t end = lines.find("\r\n", at);
    Check(end != std::string::npos);
    std::size_t content = end - at;
    Check(content + 2 <= kChunkSize);
    Check(stream.compare(in, content, lines, at, content) == 0);
    in += content;
    if (stream.compare(in, 2, "\r\n") == 0) {
      in += 2;
    } else {
      // Closed here by the assembler: a line too long for a chunk, or the end.
      Check(content == zollogsvc::kPieceBytes || in == stream.size());
    }
    at = end + 2;
  }
  Check(in == stream.size());

  // Chunks end at line ends and hold every byte once.
  std::string rejoined;
  zollogsvc::ForEachChunk(lines, [&](const char* chunk, std::size_t n) {
    Check(n >= 2 && n <= kChunkSize && chunk[n - 2] == '\r' && chunk[n - 1] == '\n');
    rejoined.append(chunk, n);
  });
  Check(rejoined == lines);
  return 0;
}
