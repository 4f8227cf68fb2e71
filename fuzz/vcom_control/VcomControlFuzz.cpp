// Arbitrary bytes on vcomd's control socket, cut into reads at places the
// input chooses: the lines are those of the whole stream whatever the cuts,
// an unfinished line stays bounded, and every command is a valid one or a
// refusal.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "drivers/vcom/VcomControl.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

// What the stream's bytes are as lines when read in one piece.
bool Lines(const std::string& stream, std::vector<std::string>& lines) {
  vcom::CtlLines whole;
  return whole.Append(stream.data(), stream.size(), lines);
}

}  // namespace

// The first byte chooses the read size (1 to 256 bytes), the rest is the stream.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  std::size_t chunk = static_cast<std::size_t>(data[0]) + 1;
  std::string stream(reinterpret_cast<const char*>(data + 1), size - 1);
  vcom::CtlLines pieces;
  std::vector<std::string> lines;
  std::size_t consumed = 0;
  bool open = true;
  for (std::size_t at = 0; open && at < stream.size(); at += chunk) {
    std::size_t n = std::min(chunk, stream.size() - at);
    open = pieces.Append(stream.data() + at, n, lines);
    consumed = at + n;
    Check(pieces.Pending() <= vcom::kMaxCtlPending + chunk);
  }
  std::vector<std::string> expected;
  bool wholeOpen = Lines(stream.substr(0, consumed), expected);
  Check(lines == expected && wholeOpen == open);
  for (const std::string& line : lines) {
    Check(line.find('\n') == std::string::npos);
    vcom::CtlCommand c = vcom::ParseCtlLine(line);
    if (c.kind == vcom::CtlCommand::Kind::Hold) Check(c.port >= 1 && c.port <= vcom::kMaxPort);
    else Check(c.port == 0 && !c.on);
  }
  return 0;
}
