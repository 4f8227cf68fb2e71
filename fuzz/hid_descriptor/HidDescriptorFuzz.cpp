// Arbitrary bytes as a report descriptor: the parser must neither read out of
// range nor report a length beyond its limit.
#include <cstdint>
#include <cstdlib>

#include "drivers/hid/raw/HidDescriptor.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  hiddesc::ParsedDescriptor parsed;
  if (hiddesc::Parse(data, size, parsed) != hiddesc::ParseResult::Ok) return 0;
  ZolHidCaps caps;
  hiddesc::ToCaps(parsed, caps);
  const std::uint16_t lengths[] = {caps.inputReportByteLength, caps.outputReportByteLength,
                                   caps.featureReportByteLength};
  for (std::uint16_t length : lengths) {
    if (length > hiddesc::kMaxReportBytes + 1) std::abort();
  }
  if (caps.numberInputValueCaps != parsed.valueCaps[ZOLHID_REPORT_INPUT].size()) std::abort();
  return 0;
}
