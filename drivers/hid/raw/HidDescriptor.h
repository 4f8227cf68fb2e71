#pragma once
// A HID report descriptor reduced to what the HID code asks of an interface:
// the first top-level collection's usage page and usage, the largest report of
// each kind in bytes (counting the report id byte, as Windows reports them),
// and the value and button capabilities. Pure; no I/O.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "interfaces/ZolHidProvider.h"

namespace hiddesc {

// The largest report the parser accepts, in bytes without the id byte (the
// kernel's own limit for a hidraw report).
inline constexpr std::uint32_t kMaxReportBytes = 16384;
// Deepest Push nesting and collection nesting accepted.
inline constexpr std::size_t kMaxNesting = 64;

struct ParsedDescriptor {
  std::uint16_t usagePage = 0;  // of the first top-level collection
  std::uint16_t usage = 0;
  bool hasCollection = false;
  bool usesReportIds = false;
  // Indexed by ZOLHID_REPORT_INPUT / OUTPUT / FEATURE.
  std::uint16_t reportByteLength[3] = {0, 0, 0};
  std::uint16_t buttonCaps[3] = {0, 0, 0};
  std::vector<ZolHidValueCaps> valueCaps[3];
  std::uint16_t collections = 0;
};

enum class ParseResult {
  Ok,
  Truncated,      // an item runs past the end
  TooLarge,       // a report exceeds kMaxReportBytes
  BadNesting,     // pop without push, end without collection, nesting too deep
};

ParseResult Parse(const std::uint8_t* data, std::size_t size, ParsedDescriptor& out);

// Fills the provider's capability record from a parsed descriptor.
void ToCaps(const ParsedDescriptor& parsed, ZolHidCaps& caps);

}  // namespace hiddesc
