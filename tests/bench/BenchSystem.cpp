#include "tests/bench/BenchSystem.h"

namespace benchtest {
namespace {

zoltest::SystemOptions Options() {
  zoltest::SystemOptions o;
  o.ports = {BenchSystem::kReaderCom, BenchSystem::kDisplayCom};
  o.msrPort = "COM3";
  o.ldPort = "COM4";
  o.install = {{"MsrHidBridge.so", "MsrHidBridge.so"},
               {"LdHidBridge.so", "LdHidBridge.so"},
               {"ZolHidSim.so", "ZolHidSim.so"}};
  o.logLevel = 4;  // the ports' readiness lines are verbose
  o.readyLevel = 3;
  o.readyLines = {"HidLdManager::Initialize - Initialize success"};
  return o;
}

}  // namespace

BenchSystem::BenchSystem() : m_sys(Options()) {}

BenchSystem::~BenchSystem() {
  // The service first, so it sees its devices go as a host would.
  m_sys.StopService();
  m_bench.Signal(SIGTERM);
  m_bench.WaitExit();
}

bool BenchSystem::Start() {
  if (!m_sys.Prepare() || !m_sys.StartVcomd() || !m_sys.StartLogService()) {
    m_problem = "system: " + m_sys.Problem();
    return false;
  }
  m_port = zoltest::FreeTcpPort();
  const std::string out = m_sys.Temp() + "/bench.out";
  if (!m_bench.Start({zoltest::BinDir() + "/hidsim", "bench", "--listen", "127.0.0.1:" + std::to_string(m_port),
                      "--log", m_sys.LogFile(), "--ld-trace", m_sys.TracePath("display")},
                     m_sys.Env(), out)) {
    m_problem = "hidsim bench did not start";
    return false;
  }
  const std::string shown = "hidsim bench: http://127.0.0.1:" + std::to_string(m_port) + "/?token=";
  // The whole line: the token ends it.
  std::string text;
  const auto shownLine = [&] {
    text = zoltest::ReadText(out);
    const std::size_t at = text.find(shown);
    return at != std::string::npos && text.find('\n', at) != std::string::npos;
  };
  if (!zoltest::WaitFor(shownLine)) {
    m_problem = "hidsim bench did not report its address: " + text;
    return false;
  }
  const std::size_t at = text.find(shown) + shown.size();
  m_token = text.substr(at, text.find('\n', at) - at);
  if (!m_sys.StartService(true) || !m_sys.WaitForLog("HidMsrManager::Initialize - Initialize success")) {
    m_problem = "the port service did not come up: " + m_sys.ServiceOutput();
    return false;
  }
  return true;
}

Answer BenchSystem::Get(const std::string& path) {
  httplib::Client client("127.0.0.1", m_port);
  client.set_tcp_nodelay(true);
  Answer answer;
  if (auto res = client.Get(path.c_str(), {{"X-Bench-Token", m_token}})) {
    answer.status = res->status;
    answer.body = json::parse(res->body, nullptr, false);
  }
  return answer;
}

Answer BenchSystem::Post(const std::string& path, const std::string& body) {
  httplib::Client client("127.0.0.1", m_port);
  client.set_tcp_nodelay(true);
  Answer answer;
  if (auto res = client.Post(path.c_str(), {{"X-Bench-Token", m_token}}, body, "application/json")) {
    answer.status = res->status;
    answer.body = json::parse(res->body, nullptr, false);
  }
  return answer;
}

EventStream::EventStream(int port, const std::string& token)
    : m_client(std::make_unique<httplib::Client>("127.0.0.1", port)) {
  m_client->set_read_timeout(std::chrono::seconds(60));
  m_thread = std::thread([this, token] {
    m_client->Get("/api/events?token=" + token, [this](const char* data, std::size_t length) {
      m_buffer.append(data, length);
      for (std::size_t end; (end = m_buffer.find("\n\n")) != std::string::npos;) {
        Parse(m_buffer.substr(0, end));
        m_buffer.erase(0, end + 2);
      }
      return !m_stop;
    });
    m_done = true;
  });
}

EventStream::~EventStream() {
  m_stop = true;
  // stop() shuts the socket once there is one; until the thread noticed.
  while (!m_done) {
    m_client->stop();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  m_thread.join();
}

void EventStream::Parse(const std::string& record) {
  std::string type, data;
  std::size_t start = 0;
  while (start < record.size()) {
    std::size_t end = record.find('\n', start);
    if (end == std::string::npos) end = record.size();
    const std::string line = record.substr(start, end - start);
    if (line.rfind("event: ", 0) == 0) type = line.substr(7);
    if (line.rfind("data: ", 0) == 0) data += line.substr(6);
    start = end + 1;
  }
  if (type.empty()) return;  // a heartbeat
  const json value = json::parse(data, nullptr, false);
  std::function<void(const std::string&, const json&)> callback;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_types.push_back(type);
    callback = m_callback;
  }
  if (type == "state") m_connected = true;
  if (callback) callback(type, value);
}

std::vector<std::string> EventStream::Types() {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_types;
}

void EventStream::OnEvent(std::function<void(const std::string&, const json&)> callback) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_callback = std::move(callback);
}

}  // namespace benchtest
