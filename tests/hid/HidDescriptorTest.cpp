// The report descriptor parser on descriptors shaped like the supported
// devices' and on malformed ones.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "drivers/hid/raw/HidDescriptor.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

// Vendor usage page 0xFF45, an application collection with the given usage,
// 8-bit fields: inputs, outputs and features bytes (0 = none), optional id.
Bytes VendorCollection(std::uint16_t usage, unsigned inputs, unsigned outputs, unsigned features, int reportId = -1) {
  Bytes d = {0x06, 0x45, 0xFF, 0x0A, static_cast<std::uint8_t>(usage & 0xFF), static_cast<std::uint8_t>(usage >> 8),
             0xA1, 0x01, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08};
  if (reportId >= 0) d.insert(d.end(), {0x85, static_cast<std::uint8_t>(reportId)});
  auto field = [&d](unsigned count, std::uint8_t usageId, std::uint8_t mainItem) {
    if (count == 0) return;
    d.insert(d.end(), {0x96, static_cast<std::uint8_t>(count & 0xFF), static_cast<std::uint8_t>(count >> 8), 0x09,
                       usageId, mainItem, 0x02});
  };
  field(inputs, 0x01, 0x81);
  field(outputs, 0x02, 0x91);
  field(features, 0x03, 0xB1);
  d.push_back(0xC0);
  return d;
}

struct WellFormedCase {
  std::string name;
  Bytes descriptor;
  std::uint16_t usagePage, usage;
  std::uint16_t input, output, feature;  // byte lengths with the id byte
  bool ids;
};

TEST(HidDescriptor, WellFormedDescriptorsGiveUsageAndReportLengths) {
  const WellFormedCase cases[] = {
      {"line display", VendorCollection(0x2600, 8, 31, 0), 0xFF45, 0x2600, 9, 32, 0, false},
      {"second display", VendorCollection(0x2400, 8, 23, 0), 0xFF45, 0x2400, 9, 24, 0, false},
      {"stripe reader", VendorCollection(0x1600, 2, 7, 290), 0xFF45, 0x1600, 3, 8, 291, false},
      {"display and reader in one descriptor",
       Cat({VendorCollection(0x2600, 8, 31, 0, 1), VendorCollection(0x1600, 2, 7, 290, 2)}), 0xFF45, 0x2600, 9, 32,
       291, true},
      {"reader first", Cat({VendorCollection(0x1600, 2, 7, 290, 2), VendorCollection(0x2600, 8, 31, 0, 1)}), 0xFF45,
       0x1600, 9, 32, 291, true},
      // Two input reports by id: the longer one counts.
      {"report ids",
       Cat({{0x06, 0x45, 0xFF, 0x0A, 0x00, 0x26, 0xA1, 0x01, 0x75, 0x08, 0x85, 0x01, 0x95, 0x04, 0x09, 0x01, 0x81,
             0x02, 0x85, 0x02, 0x95, 0x0A, 0x09, 0x01, 0x81, 0x02, 0xC0}}),
       0xFF45, 0x2600, 11, 0, 0, true},
      // Bit fields of one report add up, rounded up to whole bytes.
      {"bit fields",
       {0x05, 0x01, 0x09, 0x06, 0xA1, 0x01, 0x75, 0x01, 0x95, 0x05, 0x05, 0x07, 0x19, 0xE0, 0x29, 0xE4, 0x81, 0x02,
        0x75, 0x03, 0x95, 0x01, 0x81, 0x01, 0x75, 0x01, 0x95, 0x03, 0x91, 0x02, 0xC0},
       0x0001, 0x0006, 2, 2, 0, false},
      // A 4-byte usage names its own page; a long item is skipped.
      {"extended usage and long item",
       {0xFE, 0x02, 0x10, 0xAA, 0xBB, 0x0B, 0x00, 0x16, 0x45, 0xFF, 0xA1, 0x01, 0x75, 0x08, 0x95, 0x03, 0x81, 0x02,
        0xC0},
       0xFF45, 0x1600, 4, 0, 0, false},
      // Nothing but a collection: no reports of any kind.
      {"empty collection", {0x06, 0x45, 0xFF, 0x09, 0x26, 0xA1, 0x01, 0xC0}, 0xFF45, 0x0026, 0, 0, 0, false},
      {"largest accepted report", {0x09, 0x01, 0xA1, 0x01, 0x75, 0x08, 0x96, 0x00, 0x40, 0x81, 0x02, 0xC0}, 0, 1,
       16385, 0, 0, false},
  };
  for (const WellFormedCase& c : cases) {
    SCOPED_TRACE(c.name);
    hiddesc::ParsedDescriptor parsed;
    ASSERT_EQ(hiddesc::Parse(c.descriptor.data(), c.descriptor.size(), parsed), hiddesc::ParseResult::Ok);
    ZolHidCaps caps;
    hiddesc::ToCaps(parsed, caps);
    EXPECT_EQ(caps.usagePage, c.usagePage);
    EXPECT_EQ(caps.usage, c.usage);
    EXPECT_EQ(caps.inputReportByteLength, c.input);
    EXPECT_EQ(caps.outputReportByteLength, c.output);
    EXPECT_EQ(caps.featureReportByteLength, c.feature);
    EXPECT_EQ(parsed.usesReportIds, c.ids);
  }
}

TEST(HidDescriptor, ValueCapsDescribeDataFieldsOnly) {
  // Input: an 8-bit value field (value cap) plus constant padding (nothing);
  // output: a 1-bit field (button); feature: a usage range of 16-bit values.
  const Bytes d = {0x06, 0x45, 0xFF, 0x0A, 0x00, 0x16, 0xA1, 0x01, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08, 0x95,
                   0x02, 0x09, 0x05, 0x81, 0x02, 0x95, 0x01, 0x81, 0x03, 0x75, 0x01, 0x95, 0x08, 0x09, 0x07, 0x91,
                   0x02, 0x75, 0x10, 0x95, 0x04, 0x19, 0x10, 0x29, 0x13, 0xB1, 0x02, 0xC0};
  hiddesc::ParsedDescriptor parsed;
  ASSERT_EQ(hiddesc::Parse(d.data(), d.size(), parsed), hiddesc::ParseResult::Ok);
  ZolHidCaps caps;
  hiddesc::ToCaps(parsed, caps);
  EXPECT_EQ(caps.inputReportByteLength, 4);  // 2 data + 1 padding + id
  EXPECT_EQ(caps.numberInputValueCaps, 1);
  EXPECT_EQ(caps.numberOutputValueCaps, 0);
  EXPECT_EQ(caps.numberOutputButtonCaps, 1);
  ASSERT_EQ(parsed.valueCaps[ZOLHID_REPORT_FEATURE].size(), 1u);
  const ZolHidValueCaps& feature = parsed.valueCaps[ZOLHID_REPORT_FEATURE][0];
  EXPECT_EQ(feature.usagePage, 0xFF45);
  EXPECT_EQ(feature.isRange, 1);
  EXPECT_EQ(feature.usageMin, 0x10);
  EXPECT_EQ(feature.usageMax, 0x13);
  EXPECT_EQ(feature.bitSize, 16);
  EXPECT_EQ(feature.reportCount, 4);
  const ZolHidValueCaps& input = parsed.valueCaps[ZOLHID_REPORT_INPUT][0];
  EXPECT_EQ(input.usageMin, 0x05);
  EXPECT_EQ(input.logicalMax, 255);
}

struct MalformedCase {
  std::string name;
  Bytes descriptor;
  hiddesc::ParseResult expected;
};

TEST(HidDescriptor, MalformedDescriptorsAreRefused) {
  const MalformedCase cases[] = {
      {"item data past the end", {0x06, 0x45}, hiddesc::ParseResult::Truncated},
      {"4-byte item cut", {0x09, 0x01, 0xA1, 0x01, 0x27, 0xFF, 0xFF}, hiddesc::ParseResult::Truncated},
      {"long item header cut", {0xFE, 0x05}, hiddesc::ParseResult::Truncated},
      {"long item data cut", {0xFE, 0x05, 0x10, 0x01, 0x02}, hiddesc::ParseResult::Truncated},
      {"absurd size and count",
       {0x09, 0x01, 0xA1, 0x01, 0x77, 0xFF, 0xFF, 0xFF, 0xFF, 0x97, 0xFF, 0xFF, 0xFF, 0xFF, 0x81, 0x02, 0xC0},
       hiddesc::ParseResult::TooLarge},
      {"one byte over the limit", {0x09, 0x01, 0xA1, 0x01, 0x75, 0x08, 0x96, 0x01, 0x40, 0x81, 0x02, 0xC0},
       hiddesc::ParseResult::TooLarge},
      {"limit reached by two fields",
       {0x09, 0x01, 0xA1, 0x01, 0x75, 0x08, 0x96, 0x00, 0x20, 0xB1, 0x02, 0xB1, 0x02, 0xB1, 0x02, 0xC0},
       hiddesc::ParseResult::TooLarge},
      {"pop without push", {0xB4}, hiddesc::ParseResult::BadNesting},
      {"end without collection", {0xC0}, hiddesc::ParseResult::BadNesting},
  };
  for (const MalformedCase& c : cases) {
    SCOPED_TRACE(c.name);
    hiddesc::ParsedDescriptor parsed;
    EXPECT_EQ(hiddesc::Parse(c.descriptor.data(), c.descriptor.size(), parsed), c.expected);
  }
}

TEST(HidDescriptor, NestingBeyondTheLimitIsRefused) {
  Bytes collections;
  for (std::size_t i = 0; i <= hiddesc::kMaxNesting; ++i) collections.insert(collections.end(), {0xA1, 0x00});
  Bytes pushes(hiddesc::kMaxNesting + 1, 0xA4);
  for (const Bytes& d : {collections, pushes}) {
    hiddesc::ParsedDescriptor parsed;
    EXPECT_EQ(hiddesc::Parse(d.data(), d.size(), parsed), hiddesc::ParseResult::BadNesting);
  }
  // Exactly at the limit is fine.
  collections.resize(2 * hiddesc::kMaxNesting);
  hiddesc::ParsedDescriptor parsed;
  EXPECT_EQ(hiddesc::Parse(collections.data(), collections.size(), parsed), hiddesc::ParseResult::Ok);
}

TEST(HidDescriptor, EveryCutOfARealDescriptorIsHandled) {
  // Each prefix either parses (cut between items) or is refused as truncated;
  // a prefix that parses never reports more than the whole descriptor does.
  const Bytes whole = Cat({VendorCollection(0x2600, 8, 31, 0, 1), VendorCollection(0x1600, 2, 7, 290, 2)});
  hiddesc::ParsedDescriptor full;
  ASSERT_EQ(hiddesc::Parse(whole.data(), whole.size(), full), hiddesc::ParseResult::Ok);
  int truncated = 0;
  for (std::size_t n = 0; n < whole.size(); ++n) {
    Bytes cut(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(n));  // exact size: ASan sees overreads
    hiddesc::ParsedDescriptor parsed;
    const hiddesc::ParseResult r = hiddesc::Parse(cut.data(), cut.size(), parsed);
    if (r == hiddesc::ParseResult::Truncated) {
      ++truncated;
      continue;
    }
    ASSERT_EQ(r, hiddesc::ParseResult::Ok) << "cut at " << n;
    for (int kind = 0; kind < 3; ++kind) EXPECT_LE(parsed.reportByteLength[kind], full.reportByteLength[kind]);
  }
  EXPECT_GT(truncated, 0);
}

}  // namespace
