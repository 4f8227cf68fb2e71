#include "tools/hidsim/Bench.h"

#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/inotify.h>
#include <sys/random.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <thread>
#include <utility>

#include <httplib.h>

#include "drivers/hid/sim/SimProtocol.h"
#include "tools/hidsim/BenchHub.h"

namespace hidsim {
namespace {

using nlohmann::json;

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
// Requests that change something, per second, before 429 answers.
constexpr double kChangesPerSecond = 100;
constexpr int kHttpThreads = 32;
constexpr std::size_t kMaxBody = 64 * 1024;  // a swipe is well under 1 KB
constexpr int kLogPollMs = 200;
constexpr auto kHeartbeat = std::chrono::seconds(5);

const char kBenchUsage[] =
    "usage: hidsim bench [--listen ADDR:PORT] [--log FILE] [--ld-name NAME] [--msr-name NAME] [--uhid]\n"
    "                    [--ld-OPTION VALUE]... [--msr-OPTION VALUE]...\n"
    "  --ld-OPTION / --msr-OPTION pass --OPTION VALUE to hidsim ld / hidsim msr\n"
    "  (vendor, product, usage-page, usage, serial, input-len, output-len, feature-len, trace)\n";

int BenchUsage(const std::string& problem) {
  std::fprintf(stderr, "hidsim: %s\n%s", problem.c_str(), kBenchUsage);
  return kExitUsage;
}

std::string Dump(const json& value) { return value.dump(-1, ' ', false, json::error_handler_t::replace); }

void Reply(httplib::Response& res, int status, const json& body) {
  res.status = status;
  res.set_content(Dump(body), "application/json");
}

// Ready cards for the page's buttons and for scripts.
json TestCards() {
  return json::array({
      {{"id", "full"},
       {"label", "Three tracks"},
       {"swipe",
        {{"track1", "B4000123456789010^BENCH/TEST CARD^28121010000000000000"},
         {"track2", "4000123456789010=28121010000000000000"},
         {"track3", "011234567890123456=000000000000000000"}}}},
      {{"id", "track2"}, {"label", "Track 2 only"}, {"swipe", {{"track2", "5000987654321098=30011200000000000"}}}},
      {{"id", "damaged"},
       {"label", "Damaged track 2"},
       {"swipe",
        {{"track1", "B4000123456789010^BENCH/TEST CARD^2812101"},
         {"track2", "4000123456789010=2812101"},
         {"error", json::array({2})}}}},
      {{"id", "numeric"},
       {"label", "Numeric layout"},
       {"swipe", {{"numeric", true}, {"track1", "12345678"}, {"track2", "87654321"}}}},
  });
}

class RateLimit {
 public:
  bool Take() {
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto now = std::chrono::steady_clock::now();
    m_tokens = std::min(kChangesPerSecond,
                        m_tokens + kChangesPerSecond * std::chrono::duration<double>(now - m_last).count());
    m_last = now;
    if (m_tokens < 1) return false;
    m_tokens -= 1;
    return true;
  }

 private:
  std::mutex m_mutex;
  double m_tokens = kChangesPerSecond;
  std::chrono::steady_clock::time_point m_last = std::chrono::steady_clock::now();
};

std::string PageWithState(BenchHub& hub) {
  json state = hub.StateJson();
  state["cards"] = TestCards();
  std::string text = Dump(state);
  // Inside a script element "</" would end it.
  for (std::size_t at = 0; (at = text.find("</", at)) != std::string::npos; at += 3) text.replace(at, 2, "<\\/");
  std::string page = kBenchPage;
  const std::string marker = "/*BENCH_STATE*/null";
  const std::size_t at = page.find(marker);
  if (at != std::string::npos) page.replace(at, marker.size(), text);
  return page;
}

// Who may drive the devices: the person who started the bench, through the
// address it printed (with its token), and no web page of another origin.
struct Gate {
  std::string host;   // "127.0.0.1:8045", as the address shows it
  std::string token;  // 32 hex digits, fresh at each start
};

// A fresh token, or empty when the system gives no randomness.
std::string NewToken() {
  unsigned char bytes[16];
  std::size_t got = 0;
  while (got < sizeof bytes) {
    const ssize_t n = ::getrandom(bytes + got, sizeof bytes - got, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return "";
    got += static_cast<std::size_t>(n);
  }
  static const char kHex[] = "0123456789abcdef";
  std::string token;
  for (unsigned char b : bytes) {
    token += kHex[b >> 4];
    token += kHex[b & 15];
  }
  return token;
}

// Compared in time that does not depend on where they differ.
bool SameToken(const std::string& given, const std::string& token) {
  if (given.size() != token.size()) return false;
  unsigned char diff = 0;
  for (std::size_t i = 0; i < token.size(); ++i) diff |= static_cast<unsigned char>(given[i] ^ token[i]);
  return diff == 0;
}

// Why a request is refused before it is routed: status and text, or 0.
std::pair<int, std::string> Refusal(const Gate& gate, const httplib::Request& req) {
  // Another name for this address is a page of another site that rebound
  // its name to us.
  if (req.get_header_value("Host") != gate.host) return {403, "the Host must be " + gate.host};
  if (req.has_header("Origin") && req.get_header_value("Origin") != "http://" + gate.host) {
    return {403, "requests from other origins are refused"};
  }
  if (req.get_header_value("Sec-Fetch-Site") == "cross-site") return {403, "requests from other origins are refused"};
  const std::string given =
      req.has_header("X-Bench-Token") ? req.get_header_value("X-Bench-Token") : req.get_param_value("token");
  if (!SameToken(given, gate.token)) {
    return {403, "the bench's token is missing or wrong: use the address hidsim bench printed"};
  }
  if (req.method == "POST") {
    // A form of another page can post text, never JSON without asking first.
    const std::string type = req.get_header_value("Content-Type");
    if (type.substr(0, type.find(';')) != "application/json") return {415, "a POST body is JSON (Content-Type: application/json)"};
  }
  return {0, ""};
}

// The body of a POST, read only once routed: false (answered) when it is no JSON.
bool JsonBody(const httplib::Request& req, httplib::Response& res, json* body) {
  *body = json::parse(req.body, nullptr, false);
  if (!body->is_discarded()) return true;
  Reply(res, 400, {{"error", "malformed JSON"}});
  return false;
}

void Routes(httplib::Server& server, BenchHub& hub, RateLimit& limit, const Gate& gate) {
  server.set_pre_routing_handler([&limit, &gate](const httplib::Request& req, httplib::Response& res) {
    const auto [status, why] = Refusal(gate, req);
    if (status != 0) {
      Reply(res, status, {{"error", why}});
      return httplib::Server::HandlerResponse::Handled;
    }
    if (req.method == "POST" && !limit.Take()) {
      res.set_header("Retry-After", "1");
      Reply(res, 429, {{"error", "too many requests: at most 100 changes a second"}});
      return httplib::Server::HandlerResponse::Handled;
    }

    return httplib::Server::HandlerResponse::Unhandled;
  });
  server.set_error_handler([](const httplib::Request& req, httplib::Response& res) {
    if (!res.body.empty()) return;
    std::string what = "request refused (" + std::to_string(res.status) + ")";
    if (res.status == 404) what = "no such resource: " + req.method + " " + req.path;
    if (res.status == 413) what = "the body is over " + std::to_string(kMaxBody) + " bytes";
    if (res.status == 400) what = "a malformed request (a POST needs a JSON body, e.g. curl -H 'Content-Type: application/json' -d '{}')";
    Reply(res, res.status, {{"error", what}});
  });
  server.set_exception_handler([](const httplib::Request&, httplib::Response& res, std::exception_ptr) {
    Reply(res, 500, {{"error", "internal error"}});
  });

  server.Get("/", [&hub](const httplib::Request&, httplib::Response& res) {
    res.set_header("Cache-Control", "no-store");
    res.set_content(PageWithState(hub), "text/html; charset=utf-8");
  });
  server.Get("/api/state", [&hub](const httplib::Request&, httplib::Response& res) {
    Reply(res, 200, hub.StateJson());
  });
  server.Get("/api/devices", [&hub](const httplib::Request&, httplib::Response& res) {
    Reply(res, 200, hub.DevicesJson());
  });
  server.Get(R"(/api/devices/([^/]+))", [&hub](const httplib::Request& req, httplib::Response& res) {
    const std::string id = req.matches[1];
    if (id == "ld") return Reply(res, 200, hub.DisplayJson());
    if (id == "msr") return Reply(res, 200, hub.ReaderJson());
    Reply(res, 404, {{"error", "no device " + id + "; the bench has ld and msr"}});
  });
  server.Post(R"(/api/devices/([^/]+)/(plug|unplug|swipe))",
              [&hub](const httplib::Request& req, httplib::Response& res) {
                const std::string id = req.matches[1];
                const std::string action = req.matches[2];
                BenchDevice* device = hub.Find(id);
                if (device == nullptr) return Reply(res, 404, {{"error", "no device " + id + "; the bench has ld and msr"}});
                json request;
                if (!JsonBody(req, res, &request)) return;
                if (action == "swipe") {
                  if (id != "msr") return Reply(res, 400, {{"error", id + " is not a stripe reader"}});
                  const auto [status, answer] = hub.Swipe(request);
                  return Reply(res, status, answer);
                }
                if (action == "unplug") {
                  hub.Unplug(*device);
                } else {
                  std::string problem;
                  if (!hub.Plug(*device, &problem)) return Reply(res, 500, {{"error", problem}});
                }
                Reply(res, 200, {{"id", id}, {"plugged", hub.Plugged(*device)}});
              });
  server.Post("/api/resume", [&hub](const httplib::Request& req, httplib::Response& res) {
    json request;
    if (!JsonBody(req, res, &request)) return;
    std::string problem;
    if (!hub.Resume(&problem)) return Reply(res, 500, {{"error", problem}});
    Reply(res, 200, {{"resumed", true}});
  });
  server.Get("/api/log", [&hub](const httplib::Request&, httplib::Response& res) { Reply(res, 200, hub.LogJson()); });
  server.Get("/api/cards", [](const httplib::Request&, httplib::Response& res) { Reply(res, 200, TestCards()); });
  server.Get("/api/events", [&hub](const httplib::Request&, httplib::Response& res) {
    res.set_header("Cache-Control", "no-store");
    // The first record is the whole state, taken with the sequence it is
    // current at, so nothing falls between the two.
    auto next = std::make_shared<std::uint64_t>(hub.Sequence());
    auto first = std::make_shared<std::string>("event: state\ndata: " + Dump(hub.StateJson()) + "\n\n");
    auto quiet = std::make_shared<std::chrono::steady_clock::time_point>(std::chrono::steady_clock::now());
    res.set_chunked_content_provider("text/event-stream", [&hub, next, first, quiet](std::size_t, httplib::DataSink& sink) {
      if (!first->empty()) {
        const std::string text = std::move(*first);
        first->clear();
        return sink.write(text.data(), text.size());
      }
      if (hub.Stopping()) {
        sink.done();
        return true;
      }
      std::string chunk;
      for (const std::string& e : hub.Next(next.get(), std::chrono::milliseconds(1000))) chunk += e;
      const auto now = std::chrono::steady_clock::now();
      if (chunk.empty() && now - *quiet >= kHeartbeat) chunk = ": still here\n\n";
      if (chunk.empty()) return true;
      *quiet = now;
      return sink.write(chunk.data(), chunk.size());
    });
  });
}

bool ParseListen(const std::string& text, std::string* host, int* port) {
  const std::size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0) return false;
  char* end = nullptr;
  const long p = std::strtol(text.c_str() + colon + 1, &end, 10);
  if (*end != '\0' || p < 0 || p > 65535 || colon + 1 == text.size()) return false;
  *host = text.substr(0, colon);
  if (host->size() > 2 && host->front() == '[' && host->back() == ']') *host = host->substr(1, host->size() - 2);
  *port = static_cast<int>(p);
  return true;
}

}  // namespace

int RunBench(const std::vector<std::string>& args, const std::string& self) {
  BenchOptions opt;
  opt.self = self;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--uhid") {
      opt.uhid = true;
      opt.display.args.push_back(a);
      opt.reader.args.push_back(a);
      continue;
    }
    if (i + 1 >= args.size()) return BenchUsage("missing value after " + a);
    const std::string& value = args[++i];
    if (a == "--listen") {
      if (!ParseListen(value, &opt.listenHost, &opt.listenPort)) return BenchUsage("--listen takes ADDR:PORT");
    } else if (a == "--log") {
      opt.logPath = value;
    } else if (a == "--ld-name") {
      opt.display.name = value;
    } else if (a == "--msr-name") {
      opt.reader.name = value;
    } else if (a.rfind("--ld-", 0) == 0 || a.rfind("--msr-", 0) == 0) {
      const bool ld = a.rfind("--ld-", 0) == 0;
      const std::string option = "--" + a.substr(ld ? 5 : 6);
      BenchDevice& device = ld ? opt.display : opt.reader;
      if (ld && option == "--trace") opt.tracePath = value;
      device.args.push_back(option);
      device.args.push_back(value);
    } else {
      return BenchUsage("unknown option " + a);
    }
  }
  for (const BenchDevice* d : {&opt.display, &opt.reader}) {
    if (!IsValidDeviceName(d->name)) return BenchUsage("a device name of letters, digits, '_', '-' or '.' is needed");
  }
  if (opt.display.name == opt.reader.name) return BenchUsage("the display and the reader need names of their own");

  // Blocked before any thread starts, so every thread inherits the mask
  // and only the signalfd sees them.
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGHUP);
  sigaddset(&set, SIGCHLD);
  ::sigprocmask(SIG_BLOCK, &set, nullptr);
  ::signal(SIGPIPE, SIG_IGN);
  const int signals = ::signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);

  // Without a trace of the caller's, the mirror follows a private one.
  std::string privateDir;
  if (opt.tracePath.empty()) {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/hidsim-bench.XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
      std::fprintf(stderr, "hidsim: cannot create a folder for the trace: %s\n", std::strerror(errno));
      return kExitFailed;
    }
    privateDir = pattern;
    opt.tracePath = privateDir + "/display.trace";
    opt.display.args.push_back("--trace");
    opt.display.args.push_back(opt.tracePath);
  }
  struct Cleanup {
    std::string dir;
    ~Cleanup() {
      std::error_code ec;
      if (!dir.empty()) std::filesystem::remove_all(dir, ec);
    }
  } cleanup{privateDir};
  if (FILE* f = std::fopen(opt.tracePath.c_str(), "a")) std::fclose(f);
  const int watch = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  if (watch < 0 || ::inotify_add_watch(watch, opt.tracePath.c_str(), IN_MODIFY) < 0) {
    std::fprintf(stderr, "hidsim: cannot watch %s: %s\n", opt.tracePath.c_str(), std::strerror(errno));
    return kExitFailed;
  }

  BenchHub hub(opt);
  for (const char* id : {"ld", "msr"}) {
    std::string problem;
    if (!hub.Plug(*hub.Find(id), &problem)) {
      std::fprintf(stderr, "hidsim: %s\n", problem.c_str());
      return kExitFailed;
    }
  }

  httplib::Server server;
  server.new_task_queue = [] { return new httplib::ThreadPool(kHttpThreads); };
  server.set_keep_alive_max_count(100000);
  server.set_tcp_nodelay(true);  // small answers and events go out at once
  server.set_payload_max_length(kMaxBody);
  RateLimit limit;
  Gate gate;
  gate.token = NewToken();
  if (gate.token.empty()) {
    std::fprintf(stderr, "hidsim: no randomness for the bench's token: %s\n", std::strerror(errno));
    return kExitFailed;
  }
  Routes(server, hub, limit, gate);
  const int port = opt.listenPort == 0 ? server.bind_to_any_port(opt.listenHost)
                   : server.bind_to_port(opt.listenHost, opt.listenPort) ? opt.listenPort
                                                                         : -1;
  if (port < 0) {
    std::fprintf(stderr, "hidsim: cannot listen on %s:%d\n", opt.listenHost.c_str(), opt.listenPort);
    return kExitFailed;
  }
  const std::string shown = opt.listenHost.find(':') != std::string::npos ? "[" + opt.listenHost + "]" : opt.listenHost;
  gate.host = shown + ":" + std::to_string(port);
  std::thread http([&server] { server.listen_after_bind(); });
  std::printf("hidsim bench: http://%s/?token=%s\n", gate.host.c_str(), gate.token.c_str());
  std::fflush(stdout);

  hub.FollowTrace();
  hub.FollowLog();
  for (bool stop = false; !stop;) {
    pollfd fds[2] = {{signals, POLLIN, 0}, {watch, POLLIN, 0}};
    if (::poll(fds, 2, kLogPollMs) < 0 && errno != EINTR) break;
    if (fds[0].revents != 0) {
      signalfd_siginfo info{};
      while (::read(signals, &info, sizeof(info)) == static_cast<ssize_t>(sizeof(info))) {
        if (info.ssi_signo == SIGCHLD) {
          hub.ReapEnded();
        } else {
          stop = true;
        }
      }
    }
    if (fds[1].revents != 0) {
      char events[4096];
      while (::read(watch, events, sizeof(events)) > 0) {
      }
      hub.FollowTrace();
    }
    hub.FollowLog();
  }
  hub.Stop();
  server.stop();
  http.join();
  ::close(watch);
  ::close(signals);
  return 0;
}

}  // namespace hidsim
