#include "drivers/hid/raw/HidDescriptor.h"

#include <algorithm>
#include <map>

namespace hiddesc {
namespace {

enum ItemType { kMain = 0, kGlobal = 1, kLocal = 2 };

// Main item tags.
constexpr std::uint8_t kInput = 0x8, kOutput = 0x9, kCollection = 0xA, kFeature = 0xB, kEndCollection = 0xC;
// Global item tags.
constexpr std::uint8_t kUsagePage = 0x0, kLogicalMin = 0x1, kLogicalMax = 0x2, kReportSize = 0x7, kReportId = 0x8,
                       kReportCount = 0x9, kPush = 0xA, kPop = 0xB;
// Local item tags.
constexpr std::uint8_t kUsage = 0x0, kUsageMin = 0x1, kUsageMax = 0x2;

struct Globals {
  std::uint16_t usagePage = 0;
  std::int32_t logicalMin = 0;
  std::int32_t logicalMax = 0;
  std::uint32_t reportSize = 0;
  std::uint32_t reportCount = 0;
  std::uint8_t reportId = 0;
};

struct Locals {
  std::vector<std::uint32_t> usages;  // high 16 bits: usage page when given
  std::uint32_t usageMin = 0;
  std::uint32_t usageMax = 0;
  bool haveMin = false;
  bool haveMax = false;
};

std::uint32_t Unsigned(const std::uint8_t* p, std::size_t n) {
  std::uint32_t v = 0;
  for (std::size_t i = 0; i < n; ++i) v |= static_cast<std::uint32_t>(p[i]) << (8 * i);
  return v;
}

std::int32_t Signed(const std::uint8_t* p, std::size_t n) {
  const std::uint32_t v = Unsigned(p, n);
  if (n == 1) return static_cast<std::int8_t>(v);
  if (n == 2) return static_cast<std::int16_t>(v);
  return static_cast<std::int32_t>(v);
}

}  // namespace

ParseResult Parse(const std::uint8_t* data, std::size_t size, ParsedDescriptor& out) {
  out = ParsedDescriptor{};
  Globals globals;
  std::vector<Globals> stack;
  Locals locals;
  std::size_t depth = 0;
  // Bits per (report type, report id).
  std::map<std::uint8_t, std::uint64_t> bits[3];

  std::size_t at = 0;
  while (at < size) {
    const std::uint8_t prefix = data[at];
    if (prefix == 0xFE) {  // long item: size, tag, data
      if (size - at < 3) return ParseResult::Truncated;
      const std::size_t n = data[at + 1];
      if (size - at - 3 < n) return ParseResult::Truncated;
      at += 3 + n;
      continue;
    }
    const std::size_t n = (prefix & 3) == 3 ? 4 : (prefix & 3);
    const int type = (prefix >> 2) & 3;
    const std::uint8_t tag = prefix >> 4;
    if (size - at - 1 < n) return ParseResult::Truncated;
    const std::uint8_t* value = data + at + 1;
    at += 1 + n;

    if (type == kGlobal) {
      switch (tag) {
        case kUsagePage: globals.usagePage = static_cast<std::uint16_t>(Unsigned(value, n)); break;
        case kLogicalMin: globals.logicalMin = Signed(value, n); break;
        case kLogicalMax: globals.logicalMax = Signed(value, n); break;
        case kReportSize: globals.reportSize = Unsigned(value, n); break;
        case kReportCount: globals.reportCount = Unsigned(value, n); break;
        case kReportId:
          globals.reportId = static_cast<std::uint8_t>(Unsigned(value, n));
          out.usesReportIds = true;
          break;
        case kPush:
          if (stack.size() >= kMaxNesting) return ParseResult::BadNesting;
          stack.push_back(globals);
          break;
        case kPop:
          if (stack.empty()) return ParseResult::BadNesting;
          globals = stack.back();
          stack.pop_back();
          break;
        default: break;
      }
    } else if (type == kLocal) {
      const std::uint32_t v = Unsigned(value, n);
      // A 4-byte usage carries its own usage page in the high half.
      const std::uint32_t full = n == 4 ? v : (static_cast<std::uint32_t>(globals.usagePage) << 16) | v;
      switch (tag) {
        case kUsage:
          if (locals.usages.size() < 0xFFFF) locals.usages.push_back(full);
          break;
        case kUsageMin: locals.usageMin = full; locals.haveMin = true; break;
        case kUsageMax: locals.usageMax = full; locals.haveMax = true; break;
        default: break;
      }
    } else if (type == kMain) {
      if (tag == kCollection) {
        if (depth == 0 && !out.hasCollection) {
          const std::uint32_t u = locals.usages.empty() ? (locals.haveMin ? locals.usageMin : 0) : locals.usages.front();
          out.hasCollection = true;
          out.usagePage = static_cast<std::uint16_t>(u >> 16);
          out.usage = static_cast<std::uint16_t>(u & 0xFFFF);
        }
        if (++depth > kMaxNesting) return ParseResult::BadNesting;
        if (out.collections < 0xFFFF) ++out.collections;
      } else if (tag == kEndCollection) {
        if (depth == 0) return ParseResult::BadNesting;
        --depth;
      } else if (tag == kInput || tag == kOutput || tag == kFeature) {
        const int kind = tag == kInput ? ZOLHID_REPORT_INPUT : tag == kOutput ? ZOLHID_REPORT_OUTPUT : ZOLHID_REPORT_FEATURE;
        const std::uint32_t flags = Unsigned(value, n);
        std::uint64_t& total = bits[kind][globals.reportId];
        total += static_cast<std::uint64_t>(globals.reportSize) * globals.reportCount;
        if (total > static_cast<std::uint64_t>(kMaxReportBytes) * 8) return ParseResult::TooLarge;
        const bool constant = (flags & 1) != 0;
        const bool variable = (flags & 2) != 0;
        if (!constant && globals.reportCount > 0 && globals.reportSize > 0) {
          if (!variable || globals.reportSize == 1) {
            if (out.buttonCaps[kind] < 0xFFFF) ++out.buttonCaps[kind];
          } else if (out.valueCaps[kind].size() < 0xFFFF) {
            ZolHidValueCaps caps{};
            const bool isRange = locals.usages.empty() && locals.haveMin && locals.haveMax;
            const std::uint32_t first = isRange ? locals.usageMin : (locals.usages.empty() ? 0 : locals.usages.front());
            const std::uint32_t last = isRange ? locals.usageMax : first;
            caps.usagePage = (first >> 16) ? static_cast<std::uint16_t>(first >> 16) : globals.usagePage;
            caps.reportId = globals.reportId;
            caps.isRange = isRange ? 1 : 0;
            caps.bitSize = static_cast<std::uint16_t>(std::min<std::uint32_t>(globals.reportSize, 0xFFFF));
            caps.reportCount = static_cast<std::uint16_t>(std::min<std::uint32_t>(globals.reportCount, 0xFFFF));
            caps.logicalMin = globals.logicalMin;
            caps.logicalMax = globals.logicalMax;
            caps.usageMin = static_cast<std::uint16_t>(first & 0xFFFF);
            caps.usageMax = static_cast<std::uint16_t>(last & 0xFFFF);
            out.valueCaps[kind].push_back(caps);
          }
        }
      }
      locals = Locals{};
    }
  }

  for (int kind = 0; kind < 3; ++kind) {
    std::uint64_t largest = 0;
    for (const auto& [id, count] : bits[kind]) largest = std::max(largest, (count + 7) / 8);
    // The id byte is counted whether or not the device sends one.
    out.reportByteLength[kind] = largest == 0 ? 0 : static_cast<std::uint16_t>(largest + 1);
  }
  return ParseResult::Ok;
}

void ToCaps(const ParsedDescriptor& parsed, ZolHidCaps& caps) {
  caps = ZolHidCaps{};
  caps.usage = parsed.usage;
  caps.usagePage = parsed.usagePage;
  caps.inputReportByteLength = parsed.reportByteLength[ZOLHID_REPORT_INPUT];
  caps.outputReportByteLength = parsed.reportByteLength[ZOLHID_REPORT_OUTPUT];
  caps.featureReportByteLength = parsed.reportByteLength[ZOLHID_REPORT_FEATURE];
  caps.numberLinkCollectionNodes = parsed.collections;
  caps.numberInputButtonCaps = parsed.buttonCaps[ZOLHID_REPORT_INPUT];
  caps.numberOutputButtonCaps = parsed.buttonCaps[ZOLHID_REPORT_OUTPUT];
  caps.numberFeatureButtonCaps = parsed.buttonCaps[ZOLHID_REPORT_FEATURE];
  caps.numberInputValueCaps = static_cast<std::uint16_t>(parsed.valueCaps[ZOLHID_REPORT_INPUT].size());
  caps.numberOutputValueCaps = static_cast<std::uint16_t>(parsed.valueCaps[ZOLHID_REPORT_OUTPUT].size());
  caps.numberFeatureValueCaps = static_cast<std::uint16_t>(parsed.valueCaps[ZOLHID_REPORT_FEATURE].size());
}

}  // namespace hiddesc
