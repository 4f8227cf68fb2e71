#pragma once
// The whole system on `hidsim bench`: vcomd (COM3 reader, COM4 display),
// ZolLogSvc, PortBridgeServer with both plug-ins, and the bench serving its
// page and API on a free loopback port. Shared by the bench tests and the
// page latency benchmark.
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <functional>
#include <thread>
#include <vector>

#include <httplib.h>

#include <nlohmann/json.hpp>

#include "tests/support/ZolSystem.h"

namespace benchtest {

using nlohmann::json;

struct Answer {
  int status = -1;  // -1: no answer
  json body;
};

class BenchSystem {
 public:
  BenchSystem();
  ~BenchSystem();

  // Everything up, both plug-ins initialised; false with Problem() otherwise.
  bool Start();
  const std::string& Problem() const { return m_problem; }
  zoltest::ZolSystem& Sys() { return m_sys; }
  zoltest::Child& Bench() { return m_bench; }
  int Port() const { return m_port; }
  // The page's address as the bench printed it, with its token.
  std::string Url() const { return "http://127.0.0.1:" + std::to_string(m_port) + "/?token=" + m_token; }
  const std::string& Token() const { return m_token; }

  Answer Get(const std::string& path);
  Answer Post(const std::string& path, const std::string& body);

  static constexpr unsigned kReaderCom = 3;
  static constexpr unsigned kDisplayCom = 4;

 private:
  zoltest::ZolSystem m_sys;
  zoltest::Child m_bench;
  int m_port = 0;
  std::string m_token;
  std::string m_problem;
};

// A client of /api/events: collects the records' data by event type.
class EventStream {
 public:
  EventStream(int port, const std::string& token);
  ~EventStream();
  // True once the first record (the whole state) arrived.
  bool Connected() const { return m_connected; }
  // The event types seen so far, in order.
  std::vector<std::string> Types();
  // Called with each event's type and data as it arrives, on the stream's
  // thread; set before the events of interest.
  void OnEvent(std::function<void(const std::string&, const json&)> callback);

 private:
  void Parse(const std::string& record);

  std::mutex m_mutex;
  std::vector<std::string> m_types;
  std::function<void(const std::string&, const json&)> m_callback;
  std::unique_ptr<httplib::Client> m_client;
  std::atomic<bool> m_stop{false};
  std::atomic<bool> m_done{false};
  std::atomic<bool> m_connected{false};
  std::string m_buffer;
  std::thread m_thread;
};

}  // namespace benchtest
