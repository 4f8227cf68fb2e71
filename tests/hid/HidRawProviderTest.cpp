// ZolHidRaw.so through its C interface, on what every machine has: its
// argument checks, paths that are no hidraw node, and the enumeration's
// buffer protocol.
#include <gtest/gtest.h>

#include <string>

#include "tests/hid/HidSimHarness.h"
#include "tests/support/HidProvider.h"

namespace {

class RawProvider : public ::testing::Test {
 protected:
  void SetUp() override {
    // A missing function is named by the export test below.
    m_provider.Bind(hidtest::BinDir() + "/ZolHidRaw.so");
    ASSERT_TRUE(m_provider.library.IsLoaded()) << m_provider.library.LoadErrorText();
    ASSERT_NE(m_provider.Enumerate, nullptr);
    ASSERT_NE(m_provider.Open, nullptr);
  }
  zoltest::HidProvider m_provider;
};

TEST_F(RawProvider, ExportsEveryFunctionOfTheInterface) {
  for (const char* name : {ZOLHID_EXPORT_NAMES}) EXPECT_NE(m_provider.library.Symbol(name), nullptr) << name;
}

TEST_F(RawProvider, PathsThatAreNoHidrawNodeAreNotFound) {
  const struct {
    const char* path;
    std::uint32_t mode;
    std::uint32_t expected;
  } cases[] = {
      {"/dev/null", ZOLHID_OPEN_QUERY, 2},
      {"/dev/hidraw", ZOLHID_OPEN_QUERY, 2},
      {"/dev/hidraw99999", ZOLHID_OPEN_READ, 2},  // no such node
      {"/tmp/hidraw0", ZOLHID_OPEN_QUERY, 2},     // a look-alike elsewhere
      {"/dev/hidraw0/../../etc/passwd", ZOLHID_OPEN_QUERY, 2},
      {"/dev/hidraw1x", ZOLHID_OPEN_WRITE, 2},
      {"/dev/hidraw0", 7, 87},  // no such mode
  };
  for (const auto& c : cases) {
    ZolHidDevice* device = reinterpret_cast<ZolHidDevice*>(1);
    EXPECT_EQ(m_provider.Open(c.path, c.mode, &device), c.expected) << c.path;
    if (c.expected != 87) {
      EXPECT_EQ(device, nullptr) << c.path;
    }
  }
}

TEST_F(RawProvider, EnumerationReportsTheSizeItNeeds) {
  std::uint32_t needed = 0;
  EXPECT_EQ(m_provider.Enumerate(nullptr, 0, &needed), 122u);
  ASSERT_GE(needed, 1u);
  std::string list(needed, '\x7f');
  ASSERT_EQ(m_provider.Enumerate(list.data(), needed, &needed), 0u);
  // A list of strings ended by an empty one: the last byte is the end mark.
  EXPECT_EQ(list.back(), '\0');
  for (std::size_t at = 0; at + 1 < list.size();) {
    const std::string node = list.c_str() + at;
    EXPECT_EQ(node.rfind("/dev/hidraw", 0), 0u) << node;
    at += node.size() + 1;
  }
}

}  // namespace

namespace {

TEST_F(RawProvider, AWatchStartsWithNothingQueued) {
  const auto& open = m_provider.WatchOpen;
  const auto& descriptor = m_provider.WatchDescriptor;
  const auto& next = m_provider.WatchNext;
  const auto& close = m_provider.WatchClose;
  ZolHidWatch* watch = nullptr;
  ASSERT_EQ(open(&watch), 0u);
  int fd = -1;
  EXPECT_EQ(descriptor(watch, &fd), 0u);
  EXPECT_GE(fd, 0);
  ZolHidEvent event{};
  EXPECT_EQ(next(watch, &event), 259u);
  close(watch);
}

}  // namespace
