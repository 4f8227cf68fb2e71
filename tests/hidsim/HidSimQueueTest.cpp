// The input queue of a ZolHidSim.so read handle: its bound, and a reader, a
// flusher and a writer working on one device at the same time.
#include <atomic>
#include <thread>

#include "tests/hidsim/HidSimFixture.h"

namespace hidsimtest {
namespace {

using HidSimQueue = HidSimDevice;

TEST_F(HidSimQueue, KeepsTheNewestReportsUpToTheBufferCount) {
  StartDevice({"ld", "--name", "q"}, "q");
  ZolHidDevice* bounded = Open(DevicePath("q"), ZOLHID_OPEN_READ);
  ZolHidDevice* witness = Open(DevicePath("q"), ZOLHID_OPEN_READ);
  ZolHidDevice* writer = Open(DevicePath("q"), ZOLHID_OPEN_WRITE);
  ASSERT_NE(bounded, nullptr);
  ASSERT_NE(witness, nullptr);
  ASSERT_NE(writer, nullptr);
  EXPECT_EQ(m_provider.SetNumInputBuffers(bounded, 1), kInvalidParameter);
  EXPECT_EQ(m_provider.SetNumInputBuffers(bounded, 513), kInvalidParameter);
  ASSERT_EQ(m_provider.SetNumInputBuffers(bounded, 2), 0u);

  // Answers, in order: invalid, complete, character set list, device
  // information, complete.
  const Bytes reports[] = {Report({0x00, 0x55}, 32), Report({0x00, 0x00, 0x20}, 32), Report({0x00, 0x42}, 32),
                           Report({0x00, 0x00, 0x00, 0x01}, 32), Report({0x00, 0x00, 0x20}, 32)};
  const std::uint8_t answers[] = {0x80, 0x01, 0x03, 0x11, 0x01};
  for (const Bytes& r : reports) ASSERT_EQ(Write(writer, r), 0u);
  // The device sends each answer to the bounded handle before the witness,
  // so once the witness has all five, the bounded handle has them too.
  for (std::uint8_t answer : answers) {
    Bytes report;
    ASSERT_EQ(ReadReport(witness, 9, &report), 0u);
    EXPECT_EQ(report[1], answer);
  }
  Bytes report;
  ASSERT_EQ(ReadReport(bounded, 9, &report), 0u);
  EXPECT_EQ(report[1], 0x11);
  ASSERT_EQ(ReadReport(bounded, 9, &report), 0u);
  EXPECT_EQ(report[1], 0x01);
  std::uint32_t got = 0;
  EXPECT_EQ(m_provider.ReadInputReport(bounded, report.data(), 9, &got), kIoPending);
}

TEST_F(HidSimQueue, ReaderFlusherAndWriterAtOnce) {
  // The trace shows how far the simulator has got with the writes.
  const std::string trace = m_root + "/busy.trace";
  ZolHidDevice* reader = nullptr;
  ZolHidDevice* writer = nullptr;
  ASSERT_NO_FATAL_FAILURE(StartAndOpen({"ld", "--name", "busy", "--trace", trace}, "busy", reader, writer));
  constexpr int kReports = 300;
  std::atomic<bool> done{false};
  std::atomic<int> unexpected{0};
  std::atomic<int> read{0};

  std::thread readThread([&] {
    int fd = -1;
    m_provider.GetPollDescriptor(reader, &fd);
    while (!done.load()) {
      Bytes report(9, 0);
      std::uint32_t got = 0;
      const std::uint32_t rc = m_provider.ReadInputReport(reader, report.data(), 9, &got);
      if (rc == 0) {
        if (got != 9 || report[0] != 0x00 || report[1] != 0x01) ++unexpected;
        ++read;
      } else if (rc == kIoPending) {
        pollfd p{fd, POLLIN, 0};
        ::poll(&p, 1, 20);
      } else {
        ++unexpected;
      }
    }
  });
  std::thread flushThread([&] {
    while (!done.load()) {
      if (m_provider.FlushQueue(reader) != 0) ++unexpected;
      std::this_thread::yield();
    }
  });
  int fd = -1;
  ASSERT_EQ(m_provider.GetPollDescriptor(writer, &fd), 0u);
  for (int i = 0; i < kReports; ++i) {
    const Bytes request = Report({0x00, 0x00, 0x20}, 32);
    std::uint32_t rc = Write(writer, request);
    const auto end = Clock::now() + kDeadline;
    while (rc == kIoPending && Clock::now() < end) {
      pollfd p{fd, POLLOUT, 0};
      ::poll(&p, 1, MillisecondsLeft(end));
      rc = Write(writer, request);
    }
    ASSERT_EQ(rc, 0u) << "report " << i;
  }
  // A write returns once the socket took it, not once the simulator answered:
  // the reader and the flusher go on until every request was served, else the
  // answers still to come fill the reader's socket and the simulator drops
  // the last one.
  ASSERT_TRUE(WaitFor([&] { return zoltest::Count(ReadText(trace), "\n") >= kReports; }))
      << zoltest::Count(ReadText(trace), "\n") << " of " << kReports << " served";
  const int before = read.load();
  done.store(true);
  flushThread.join();
  readThread.join();
  EXPECT_EQ(unexpected.load(), 0);
  EXPECT_LE(before, kReports) << "no answer is read twice";
  EXPECT_EQ(m_provider.FlushQueue(reader), 0u);
  // One last answer that nothing flushes: the reader must see it.
  ASSERT_EQ(Write(writer, Report({0x00, 0x00, 0x00, 0x01}, 32)), 0u);
  // Left-over answers of the status requests may come first.
  Bytes report;
  do {
    ASSERT_EQ(ReadReport(reader, 9, &report), 0u);
  } while (report[1] == 0x01);
  EXPECT_EQ(report[1], 0x11);
}

}  // namespace
}  // namespace hidsimtest
