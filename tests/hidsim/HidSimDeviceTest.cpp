// Real hidsim processes in a temporary ZOL_SYSROOT, reached through the real
// ZolHidSim.so loaded by name.
#include "tests/hidsim/HidSimFixture.h"

namespace hidsimtest {
namespace {

TEST_F(HidSimDevice, DisplayAnswersEveryReportTracesItAndShowsTheScreen) {
  const std::string trace = m_root + "/trace.txt";
  ZolHidDevice* reader = nullptr;
  ZolHidDevice* writer = nullptr;
  ASSERT_NO_FATAL_FAILURE(StartAndOpen({"ld", "--name", "ld1", "--trace", trace}, "ld1", reader, writer));

  const struct {
    const char* name;
    Bytes report;
    Bytes statusStart;  // the first bytes of the input report
  } steps[] = {
      {"status request", Report({0x00, 0x00, 0x20}, 32), {0x00, 0x01}},
      {"device information", Report({0x00, 0x00, 0x00, 0x01}, 32), {0x00, 0x11, 0x20}},
      {"character set list", Report({0x00, 0x42}, 32), {0x00, 0x03}},
      {"select character set", Report({0x00, 0x41, 0x05}, 32), {0x00, 0x01}},
      {"RAM location 2", Report({0x00, 0x40, 0x02, 0x04, 0x0E, 0x1F, 0x0E, 0x04, 0x00, 0x00, 0x00}, 32), {0x00, 0x01}},
      {"top line", LineReport(0x81, "PRICE"), {0x00, 0x01}},
      {"bottom line with RAM 2", LineReport(0x82, std::string("TOTAL \x02", 7)), {0x00, 0x01}},
      {"bad checksum", [] {
         Bytes r = LineReport(0x81, "IGNORED");
         r[23] ^= 0x01;
         return r;
       }(), {0x00, 0x80}},
      {"clear top from 3", Report({0x00, 0x01, 0x03}, 32), {0x00, 0x01}},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.name);
    ASSERT_EQ(Write(writer, step.report), 0u);
    Bytes status;
    ASSERT_EQ(ReadReport(reader, 9, &status), 0u);
    ASSERT_EQ(status.size(), 9u);
    EXPECT_EQ(Bytes(status.begin(), status.begin() + static_cast<std::ptrdiff_t>(step.statusStart.size())),
              step.statusStart);
  }
  Bytes info;
  ASSERT_EQ(Write(writer, Report({0x00, 0x00, 0x00, 0x01}, 32)), 0u);
  ASSERT_EQ(ReadReport(reader, 9, &info), 0u);
  EXPECT_EQ(info[5], 0x03) << "command set";

  // One trace line per report received, in order, every byte.
  std::string expected;
  for (const auto& step : steps) expected += Hex(step.report) + "\n";
  expected += Hex(Report({0x00, 0x00, 0x00, 0x01}, 32)) + "\n";
  ASSERT_TRUE(WaitFor([&] { return ReadText(trace).size() >= expected.size(); }, kDeadline)) << ReadText(trace);
  EXPECT_EQ(ReadText(trace), expected);

  // The last screen shown: the top line cleared from position 3.
  const std::string frame = "|PRI                 |\n|TOTAL \u00b2             |\n";
  EXPECT_TRUE(WaitFor([&] {
    const std::string out = ReadText(m_root + "/ld1.out");
    return out.size() >= frame.size() && out.compare(out.rfind("+\n|") + 2, frame.size(), frame) == 0;
  }, kDeadline)) << ReadText(m_root + "/ld1.out");
}

TEST_F(HidSimDevice, ReaderServesEachSwipeAsStatusAndFeatureReport) {
  ZolHidDevice* reader = nullptr;
  ZolHidDevice* writer = nullptr;
  ASSERT_NO_FATAL_FAILURE(StartAndOpen({"msr", "--name", "msr1"}, "msr1", reader, writer));

  // The device information request: status "feature report waiting", no card.
  ASSERT_EQ(Write(writer, Report({0x00, 0x00, 0x00, 0x01}, 8)), 0u);
  Bytes status;
  ASSERT_EQ(ReadReport(reader, 3, &status), 0u);
  EXPECT_EQ(status, (Bytes{0x00, 0x01, 0x00}));
  Bytes feature(291, 0);
  ASSERT_EQ(m_provider.GetFeature(reader, feature.data(), 291), 0u);
  EXPECT_NE(feature, Bytes(291, 0));

  const struct {
    const char* name;
    std::vector<std::string> args;
    Bytes status;
    Bytes featureStart;  // report id, then the card-data area
  } swipes[] = {
      {"ISO", {"--track1", "ABC", "--track2", "123"}, {0x00, 0x04, 0x01},
       {0x00, 0x00, 0x00, 0x00, 0x00, 0x03, 0x21, 0x22, 0x23, 0x03, 0x01, 0x02, 0x03, 0x00}},
      {"ISO with errors and track 3", {"--track3", "9=", "--error", "1,3"}, {0x00, 0x04, 0x01},
       {0x00, 0x00, 0x11, 0x00, 0x00, 0x00, 0x00, 0x02, '9', '='}},
      {"numeric", {"--numeric", "--track1", "12", "--track2", "34"}, {0x00, 0x20, 0x01},
       {0x00, 0x00, 0x00, 0x00, 0x00, 0x02, 0x01, 0x02, 0x02, 0x03, 0x04}},
  };
  for (const auto& swipe : swipes) {
    SCOPED_TRACE(swipe.name);
    std::vector<std::string> args = {"swipe", "msr1"};
    args.insert(args.end(), swipe.args.begin(), swipe.args.end());
    std::string output;
    ASSERT_EQ(Run(args, &output), 0) << output;
    ASSERT_EQ(ReadReport(reader, 3, &status), 0u);
    EXPECT_EQ(status, swipe.status);
    feature.assign(291, 0xEE);
    feature[0] = 0;
    ASSERT_EQ(m_provider.GetFeature(reader, feature.data(), 291), 0u);
    for (std::size_t i = 0; i < feature.size(); ++i) {
      const std::uint8_t want = i < swipe.featureStart.size() ? swipe.featureStart[i] : 0;
      ASSERT_EQ(feature[i], want) << "feature byte " << i;
    }
  }
  // Any other command is rejected.
  ASSERT_EQ(Write(writer, Report({0x00, 0x07}, 8)), 0u);
  ASSERT_EQ(ReadReport(reader, 3, &status), 0u);
  EXPECT_EQ(status, (Bytes{0x00, 0x80, 0x00}));
}

TEST_F(HidSimDevice, SwipeFailsWithoutAStripeReader) {
  StartDevice({"ld", "--name", "display"}, "display");
  const struct {
    const char* name;
    std::vector<std::string> args;
    int code;
  } cases[] = {
      {"no such device", {"swipe", "nobody", "--track1", "A"}, 1},
      {"device is a display", {"swipe", "display", "--track1", "A"}, 1},
      {"bad error list", {"swipe", "display", "--error", "4"}, 2},
      {"character the track cannot hold", {"swipe", "display", "--track2", "A B"}, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string output;
    EXPECT_EQ(Run(c.args, &output), c.code);
    EXPECT_FALSE(output.empty()) << "a message is expected";
  }
}

TEST_F(HidSimDevice, PlugAndUnplugAreSeenByEnumerationWatchAndOpenHandles) {
  ZolHidWatch* watch = Watch();
  ASSERT_NE(watch, nullptr);
  EXPECT_TRUE(Enumerate().empty());

  pid_t pid = StartDevice({"ld", "--name", "plug"}, "plug");
  auto event = NextEvent(watch);
  ASSERT_TRUE(event.has_value());
  EXPECT_EQ(event->kind, static_cast<std::uint32_t>(ZOLHID_EVENT_ARRIVAL));
  EXPECT_STREQ(event->path, DevicePath("plug").c_str());
  EXPECT_EQ(Enumerate(), std::vector<std::string>{DevicePath("plug")});

  ZolHidDevice* reader = Open(DevicePath("plug"), ZOLHID_OPEN_READ);
  ZolHidDevice* writer = Open(DevicePath("plug"), ZOLHID_OPEN_WRITE);
  ASSERT_NE(reader, nullptr);
  ASSERT_NE(writer, nullptr);
  Bytes report;
  EXPECT_EQ(ReadReport(reader, 9, &report, std::chrono::milliseconds(0)), 1460u) << "nothing was sent yet";

  EXPECT_EQ(Stop(pid), 0);
  event = NextEvent(watch);
  ASSERT_TRUE(event.has_value());
  EXPECT_EQ(event->kind, static_cast<std::uint32_t>(ZOLHID_EVENT_REMOVAL));
  EXPECT_STREQ(event->path, DevicePath("plug").c_str());
  EXPECT_TRUE(Enumerate().empty());

  // The pending read ends with the device gone, and stays so.
  EXPECT_EQ(ReadReport(reader, 9, &report), kNotConnected);
  std::uint32_t got = 0;
  EXPECT_EQ(m_provider.ReadInputReport(reader, report.data(), 9, &got), kNotConnected);
  EXPECT_EQ(m_provider.FlushQueue(reader), kNotConnected);
  EXPECT_EQ(Write(writer, Report({0x00, 0x00, 0x20}, 32)), kNotConnected);
  EXPECT_EQ(Write(writer, Report({0x00, 0x00, 0x20}, 32)), kNotConnected);
  ZolHidDevice* gone = nullptr;
  EXPECT_EQ(m_provider.Open(DevicePath("plug").c_str(), ZOLHID_OPEN_QUERY, &gone), kFileNotFound);
  EXPECT_EQ(gone, nullptr);

  // Plugged back: a new arrival, and new handles work.
  StartDevice({"ld", "--name", "plug"}, "plug");
  event = NextEvent(watch);
  ASSERT_TRUE(event.has_value());
  EXPECT_EQ(event->kind, static_cast<std::uint32_t>(ZOLHID_EVENT_ARRIVAL));
  ZolHidDevice* reader2 = Open(DevicePath("plug"), ZOLHID_OPEN_READ);
  ZolHidDevice* writer2 = Open(DevicePath("plug"), ZOLHID_OPEN_WRITE);
  ASSERT_NE(writer2, nullptr);
  ASSERT_EQ(Write(writer2, Report({0x00, 0x00, 0x20}, 32)), 0u);
  ASSERT_EQ(ReadReport(reader2, 9, &report), 0u);
  EXPECT_EQ(report[1], 0x01);
}

TEST_F(HidSimDevice, IdentityAndCapabilitiesComeFromTheDevice) {
  const struct {
    const char* name;
    std::vector<std::string> args;
    ZolHidAttributes attributes;
    std::uint16_t usagePage, usage, input, output, feature;
    const char* serial;
  } cases[] = {
      {"display defaults", {"ld", "--name", "a"}, {0, 0x6D13, 0x4500, 0}, 0xFF45, 0x2600, 9, 32, 0, "a"},
      {"reader defaults", {"msr", "--name", "b"}, {0, 0x6D13, 0x4500, 0}, 0xFF45, 0x1600, 3, 8, 291, "b"},
      {"display options",
       {"ld", "--name", "c", "--vendor", "0x1234", "--product", "0x4525", "--usage-page", "0xff00", "--usage",
        "0x2400", "--serial", "SN-42", "--input-len", "10", "--output-len", "23", "--feature-len", "5"},
       {0, 0x1234, 0x4525, 0}, 0xFF00, 0x2400, 10, 23, 5, "SN-42"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string name = c.args[2];
    StartDevice(c.args, name);
    ZolHidDevice* d = Open(DevicePath(name), ZOLHID_OPEN_QUERY);
    ASSERT_NE(d, nullptr);
    ZolHidAttributes attributes{};
    ASSERT_EQ(m_provider.GetAttributes(d, &attributes), 0u);
    EXPECT_EQ(attributes.size, sizeof(ZolHidAttributes));
    EXPECT_EQ(attributes.vendorId, c.attributes.vendorId);
    EXPECT_EQ(attributes.productId, c.attributes.productId);
    ZolHidCaps caps{};
    ASSERT_EQ(m_provider.GetCaps(d, &caps), 0u);
    EXPECT_EQ(caps.usagePage, c.usagePage);
    EXPECT_EQ(caps.usage, c.usage);
    EXPECT_EQ(caps.inputReportByteLength, c.input);
    EXPECT_EQ(caps.outputReportByteLength, c.output);
    EXPECT_EQ(caps.featureReportByteLength, c.feature);
    char serial[128] = {};
    ASSERT_EQ(m_provider.GetSerialNumber(d, serial, sizeof(serial)), 0u);
    EXPECT_STREQ(serial, c.serial);
    // The value capabilities agree with the counts in the capabilities.
    const std::uint16_t counts[3] = {caps.numberInputValueCaps, caps.numberOutputValueCaps,
                                     caps.numberFeatureValueCaps};
    const std::uint16_t lengths[3] = {c.input, c.output, c.feature};
    for (std::uint32_t type = 0; type < 3; ++type) {
      ZolHidValueCaps values[4] = {};
      std::uint32_t count = 4;
      ASSERT_EQ(m_provider.GetValueCaps(d, type, values, &count), 0u);
      EXPECT_EQ(count, counts[type]);
      if (count > 0) {
        EXPECT_EQ(values[0].reportCount, lengths[type] - 1);
      }
    }
    Close(d);
  }
  EXPECT_EQ(Enumerate(), (std::vector<std::string>{DevicePath("a"), DevicePath("b"), DevicePath("c")}));
}

TEST_F(HidSimDevice, ResumeReachesEveryWatch) {
  ZolHidWatch* first = Watch();
  ZolHidWatch* second = Watch();
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(Run({"resume"}), 0);
  for (ZolHidWatch* w : {first, second}) {
    const auto event = NextEvent(w);
    ASSERT_TRUE(event.has_value());
    EXPECT_EQ(event->kind, static_cast<std::uint32_t>(ZOLHID_EVENT_RESUME));
    EXPECT_STREQ(event->path, "");
    // The marker's removal is no event, and the marker is no device.
    EXPECT_FALSE(NextEvent(w, std::chrono::milliseconds(0)).has_value());
  }
  EXPECT_TRUE(Enumerate().empty());
}

TEST_F(HidSimDevice, LeftoverSocketIsNoDeviceAndASecondSimulatorIsRefused) {
  ASSERT_TRUE(std::filesystem::create_directories(m_folder));
  // A socket file whose simulator was killed: bound, then closed.
  {
    const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET, 0);
    ASSERT_GE(fd, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof(addr.sun_path), "%s", DevicePath("stale").c_str());
    ASSERT_EQ(::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)), 0);
    ::close(fd);
  }
  EXPECT_TRUE(Enumerate().empty());
  ZolHidDevice* d = nullptr;
  EXPECT_EQ(m_provider.Open(DevicePath("stale").c_str(), ZOLHID_OPEN_QUERY, &d), kFileNotFound);

  // A simulator takes the name over; a second one with the same name is refused.
  StartDevice({"msr", "--name", "stale"}, "stale");
  EXPECT_EQ(Enumerate(), std::vector<std::string>{DevicePath("stale")});
  std::string output;
  EXPECT_EQ(Run({"msr", "--name", "stale"}, &output), 1);
  EXPECT_NE(output.find("already"), std::string::npos) << output;
  EXPECT_EQ(Enumerate(), std::vector<std::string>{DevicePath("stale")});
}

TEST_F(HidSimDevice, WritesOfTheWrongLengthAndFlushedReports) {
  ZolHidDevice* reader = nullptr;
  ZolHidDevice* writer = nullptr;
  ASSERT_NO_FATAL_FAILURE(StartAndOpen({"ld", "--name", "len"}, "len", reader, writer));
  EXPECT_EQ(Write(writer, Report({0x00, 0x00, 0x20}, 31)), kInvalidParameter);
  EXPECT_EQ(Write(writer, Report({0x00, 0x00, 0x20}, 33)), kInvalidParameter);
  std::uint32_t got = 0;
  Bytes buffer(9);
  EXPECT_EQ(m_provider.ReadInputReport(reader, buffer.data(), 9, &got), kIoPending) << "refused writes reach nobody";

  // An answer that arrived is discarded by a flush.
  ASSERT_EQ(Write(writer, Report({0x00, 0x00, 0x20}, 32)), 0u);
  int fd = -1;
  ASSERT_EQ(m_provider.GetPollDescriptor(reader, &fd), 0u);
  pollfd p{fd, POLLIN, 0};
  ASSERT_EQ(::poll(&p, 1, MillisecondsLeft(Clock::now() + kDeadline)), 1);
  EXPECT_EQ(m_provider.FlushQueue(reader), 0u);
  EXPECT_EQ(m_provider.ReadInputReport(reader, buffer.data(), 9, &got), kIoPending);

  // A short buffer takes the start of the report.
  ASSERT_EQ(Write(writer, Report({0x00, 0x00, 0x00, 0x01}, 32)), 0u);
  Bytes cut;
  ASSERT_EQ(ReadReport(reader, 3, &cut), 0u);
  EXPECT_EQ(cut, (Bytes{0x00, 0x11, 0x20}));
}

}  // namespace
}  // namespace hidsimtest
