#pragma once
// The test bench's state: the two simulated devices as child hidsim
// processes, a mirror of the display fed by its trace, the last swipe, the
// log tail, and the stream of events the page and scripts follow.
// Thread-safe: the HTTP threads and the bench's main loop share it.
#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tools/hidsim/LineDisplayModel.h"

namespace hidsim {

// One simulated device run as `hidsim ld|msr --name NAME ARGS...`.
struct BenchDevice {
  std::string id;    // "ld" or "msr": the word in the API's paths
  std::string kind;  // the hidsim command
  std::string name;
  std::vector<std::string> args;  // identity and trace options, passed on as given
  pid_t pid = -1;
};

struct BenchOptions {
  std::string self;  // this program, to start the simulators
  BenchDevice display{"ld", "ld", "display", {}, -1};
  BenchDevice reader{"msr", "msr", "reader", {}, -1};
  std::string tracePath;  // the display's trace, which the mirror follows
  std::string logPath;    // empty: no log tail
  std::string listenHost = "127.0.0.1";
  int listenPort = 8045;
  bool uhid = false;  // both devices made with --uhid
};

class BenchHub {
 public:
  static constexpr std::size_t kLogLines = 200;

  explicit BenchHub(BenchOptions options);
  ~BenchHub();
  BenchHub(const BenchHub&) = delete;
  BenchHub& operator=(const BenchHub&) = delete;

  const BenchOptions& Options() const { return m_opt; }
  BenchDevice* Find(const std::string& id);

  // Starts the simulator and waits until its socket is there. False with a
  // reason when it did not come up.
  bool Plug(BenchDevice& device, std::string* problem);
  // SIGTERM and reap: the device is unplugged.
  void Unplug(BenchDevice& device);
  bool Plugged(const BenchDevice& device);
  // Reaps simulators that ended by themselves (after SIGCHLD).
  void ReapEnded();

  // Reads what the display's trace gained and applies it to the mirror.
  void FollowTrace();
  // Reads what the log file gained (rotation starts it over).
  void FollowLog();

  // A swipe as JSON {track1..3, numeric, error:[n..]}; the HTTP status and
  // the answer's body.
  std::pair<int, nlohmann::json> Swipe(const nlohmann::json& request);
  bool Resume(std::string* problem);

  nlohmann::json DisplayJson();
  nlohmann::json ReaderJson();
  nlohmann::json LogJson();
  nlohmann::json DevicesJson();
  nlohmann::json StateJson();

  // The event stream: each event a finished text/event-stream record.
  // Next(after) waits up to `limit` for events after sequence `after`.
  std::uint64_t Sequence();
  std::vector<std::string> Next(std::uint64_t* after, std::chrono::milliseconds limit);
  void Stop();
  bool Stopping();

 private:
  void Publish(const std::string& type, const nlohmann::json& data);  // under m_mutex
  nlohmann::json DisplayLocked() const;
  nlohmann::json ReaderLocked() const;
  nlohmann::json DeviceLocked(const BenchDevice& device) const;
  void ApplyTraceLine(const std::string& line);

  BenchOptions m_opt;
  std::mutex m_deviceMutex;  // plug and unplug, one at a time
  std::mutex m_mutex;        // everything below
  std::condition_variable m_cv;
  LineDisplayModel m_model;
  int m_cursor = 0;
  std::uint64_t m_reports = 0;
  off_t m_traceOffset = 0;
  std::string m_tracePartial;
  nlohmann::json m_lastSwipe;
  std::deque<std::string> m_log;
  off_t m_logOffset = 0;
  ino_t m_logInode = 0;
  std::string m_logPartial;
  std::deque<std::pair<std::uint64_t, std::string>> m_events;
  std::uint64_t m_seq = 0;
  bool m_stop = false;
};

}  // namespace hidsim
