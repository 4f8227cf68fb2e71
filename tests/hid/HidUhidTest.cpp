// Real hidraw devices made with /dev/uhid, through ZolHidRaw.so: enumeration
// by the supported identities and the report paths of both wrappers. Skipped
// where /dev/uhid is absent or not usable.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <linux/input.h>
#include <linux/uhid.h>
#include <poll.h>

#include <cstring>
#include <future>

#include "common/hid/BexHidLd.h"
#include "common/hid/BexHidMsr.h"
#include "common/hid/HidLib.h"
#include "tests/hid/HidSimHarness.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// A vendor collection with 8-bit fields of the given byte counts.
Bytes Descriptor(std::uint16_t usage, unsigned inputs, unsigned outputs, unsigned features) {
  Bytes d = {0x06, 0x45, 0xFF, 0x0A, static_cast<std::uint8_t>(usage & 0xFF), static_cast<std::uint8_t>(usage >> 8),
             0xA1, 0x01, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08};
  auto field = [&d](unsigned count, std::uint8_t mainItem) {
    if (count == 0) return;
    d.insert(d.end(), {0x96, static_cast<std::uint8_t>(count & 0xFF), static_cast<std::uint8_t>(count >> 8), 0x09,
                       0x01, mainItem, 0x02});
  };
  field(inputs, 0x81);
  field(outputs, 0x91);
  field(features, 0xB1);
  d.push_back(0xC0);
  return d;
}

// One uhid device; destroyed with its descriptor.
class UhidDevice {
 public:
  bool Create(const char* name, std::uint16_t product, const Bytes& descriptor) {
    m_fd = ::open("/dev/uhid", O_RDWR | O_CLOEXEC);
    if (m_fd < 0) return false;
    uhid_event ev{};
    ev.type = UHID_CREATE2;
    std::strncpy(reinterpret_cast<char*>(ev.u.create2.name), name, sizeof(ev.u.create2.name) - 1);
    std::strncpy(reinterpret_cast<char*>(ev.u.create2.uniq), "SN-0001", sizeof(ev.u.create2.uniq) - 1);
    ev.u.create2.rd_size = static_cast<std::uint16_t>(descriptor.size());
    ev.u.create2.bus = BUS_USB;
    ev.u.create2.vendor = 0x6D13;
    ev.u.create2.product = product;
    std::memcpy(ev.u.create2.rd_data, descriptor.data(), descriptor.size());
    return ::write(m_fd, &ev, sizeof(ev)) == static_cast<ssize_t>(sizeof(ev));
  }
  ~UhidDevice() {
    if (m_fd < 0) return;
    uhid_event ev{};
    ev.type = UHID_DESTROY;
    (void)!::write(m_fd, &ev, sizeof(ev));
    ::close(m_fd);
  }
  // The next event of a type, within 5 s.
  bool Next(std::uint32_t type, uhid_event& ev) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (std::chrono::steady_clock::now() < deadline) {
      pollfd p{m_fd, POLLIN, 0};
      if (::poll(&p, 1, 100) <= 0) continue;
      if (::read(m_fd, &ev, sizeof(ev)) <= 0) return false;
      if (ev.type == type) return true;
    }
    return false;
  }
  bool Input(const Bytes& report) {
    uhid_event ev{};
    ev.type = UHID_INPUT2;
    ev.u.input2.size = static_cast<std::uint16_t>(report.size());
    std::memcpy(ev.u.input2.data, report.data(), report.size());
    return ::write(m_fd, &ev, sizeof(ev)) == static_cast<ssize_t>(sizeof(ev));
  }
  bool ReplyToGetReport(std::uint32_t id, const Bytes& report) {
    uhid_event ev{};
    ev.type = UHID_GET_REPORT_REPLY;
    ev.u.get_report_reply.id = id;
    ev.u.get_report_reply.err = 0;
    ev.u.get_report_reply.size = static_cast<std::uint16_t>(report.size());
    std::memcpy(ev.u.get_report_reply.data, report.data(), report.size());
    return ::write(m_fd, &ev, sizeof(ev)) == static_cast<ssize_t>(sizeof(ev));
  }

 private:
  int m_fd = -1;
};

class Uhid : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::access("/dev/uhid", R_OK | W_OK) != 0) GTEST_SKIP() << "/dev/uhid is absent or not usable here";
    ::setenv("ZOL_HID_PROVIDER", "ZolHidRaw.so", 1);
    ASSERT_TRUE(HidLib::Initialize());
  }
  void TearDown() override { HidLib::Terminate(); }
};

TEST_F(Uhid, DisplayAndReaderThroughHidraw) {
  UhidDevice display, reader;
  ASSERT_TRUE(display.Create("zol test display", 0x4500, Descriptor(0x2600, 8, 31, 0)));
  ASSERT_TRUE(reader.Create("zol test reader", 0x4500, Descriptor(0x1600, 2, 7, 290)));

  BexHidLdList ld;
  BexHidMsrList msr;
  // The kernel adds uhid devices on a worker of its own, after the create
  // returned: wait until the display's enumeration sees both interfaces, not
  // only its own, so the reader's node cannot come after it.
  ASSERT_TRUE(hidtest::WaitFor([&] {
    return ld.Enumerate(LdSupportedDevices()) && ld.devices.size() == 1 && ld.hidDevices.size() >= 2 &&
           msr.Enumerate(MsrSupportedDevices()) && msr.devices.size() == 1;
  }, std::chrono::seconds(20)));
  EXPECT_TRUE(ld.ContainsHidDevice(msr.GetFirstDevicePath()));
  EXPECT_EQ(ld.devices[0]->SerialNumber(), L"SN-0001");
  EXPECT_EQ(ld.devices[0]->Caps().outputReportByteLength, 32);
  EXPECT_EQ(msr.devices[0]->Caps().featureReportByteLength, 291);

  // Output: the whole report, id byte first.
  const BYTE statusRequest[] = {0x00, 0x00, 0x20};
  ASSERT_EQ(ld.devices[0]->SendLdCommand(statusRequest, sizeof(statusRequest)), 1);
  uhid_event ev{};
  ASSERT_TRUE(display.Next(UHID_OUTPUT, ev));
  ASSERT_EQ(ev.u.output.size, 32);
  EXPECT_EQ(ev.u.output.data[2], 0x20);

  // Input without report ids: the 0 id byte is put in front.
  ASSERT_TRUE(display.Input({0x01, 0x20, 0x03, 0, 0, 0, 0, 0x5A}));
  BYTE status[8] = {};
  ASSERT_EQ(ld.devices[0]->GetLdStatus(status), 1);
  EXPECT_EQ(status[0], 0x01);
  EXPECT_EQ(status[7], 0x5A);

  // Feature report: answered by the device while the wrapper waits.
  BYTE card[290] = {};
  auto data = std::async(std::launch::async, [&] { return msr.devices[0]->GetMsrData(card); });
  ASSERT_TRUE(reader.Next(UHID_GET_REPORT, ev));
  Bytes feature(291, 0);
  feature[1] = 'A';
  feature[290] = 'Z';
  ASSERT_TRUE(reader.ReplyToGetReport(ev.u.get_report.id, feature));
  ASSERT_EQ(data.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(data.get(), 1);
  EXPECT_EQ(card[0], 'A');
  EXPECT_EQ(card[289], 'Z');
}

}  // namespace
