// hidsim bench under the whole system: the application's COM ports on one
// side, the bench's JSON API on the other.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/bench/BenchSystem.h"
#include "tests/support/OtherUser.h"

namespace {

using benchtest::Answer;
using benchtest::BenchSystem;
using benchtest::json;
using zoltest::WaitFor;

class BenchApi : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(bench.Start()) << bench.Problem(); }

  bool SocketThere(const std::string& name) {
    struct stat st {};
    return ::stat(bench.Sys().DevicePath(name).c_str(), &st) == 0;
  }
  // A swipe through the API, and the text the application reads from COM3.
  std::string SwipeAndRead(const json& swipe, std::size_t length) {
    if (app == nullptr && !bench.Sys().OpenApp(BenchSystem::kReaderCom, app)) return "(COM3 not ready)";
    const Answer a = bench.Post("/api/devices/msr/swipe", swipe.dump());
    if (a.status != 200) return "(swipe answered " + std::to_string(a.status) + ")";
    return app->Read(length);
  }

  BenchSystem bench;
  zoltest::App* app = nullptr;
};

TEST_F(BenchApi, DisplayShowsWhatTheApplicationWrote) {
  ASSERT_TRUE(bench.Sys().OpenCom(BenchSystem::kDisplayCom));
  // Logic Control Mode: clear, define '~' as a user character, then text
  // with '~' at the end of the top line.
  const std::string define = std::string("\x03~", 2) + std::string("\x11\x0a\x04\x0a\x11", 5);
  ASSERT_TRUE(bench.Sys().WriteCom("\x1f" + define + "Total~" + std::string("\x10\x14", 2) + "Cash 2.50"));
  json display;
  ASSERT_TRUE(WaitFor([&] {
    display = bench.Get("/api/devices/ld").body;
    return display.is_object() && display["lines"][1] == "Cash 2.50           ";
  })) << display.dump();
  // The user character shows as RAM location 7, with the pattern the device
  // was sent.
  EXPECT_EQ(display["lines"][0], "Total7              ");
  EXPECT_EQ(display["codes"][5], 7);
  std::vector<int> sent;
  for (const auto& report : bench.Sys().Trace("display")) {
    if (report.size() > 10 && report[1] == 0x40 && report[2] == 7) sent.assign(report.begin() + 3, report.begin() + 11);
  }
  ASSERT_EQ(sent.size(), 8u);
  EXPECT_NE(sent, std::vector<int>(8, 0));
  EXPECT_EQ(display["ram"][7].get<std::vector<int>>(), sent);
  EXPECT_EQ(display["plugged"], true);
}

TEST_F(BenchApi, SwipeReachesTheReadersPortAsItsExactText) {
  const std::string t1 = "B4000123456789010^BENCH/TEST^2812101";
  const std::string t2 = "4000123456789010=2812101";
  const std::string expected = "%" + t1 + "?;" + t2 + "?";
  EXPECT_EQ(SwipeAndRead({{"track1", t1}, {"track2", t2}}, expected.size()), expected);
  EXPECT_EQ(SwipeAndRead({{"track1", t1}, {"track2", t2}, {"error", {2}}}, t1.size() + 3), "%" + t1 + "?E");
  EXPECT_EQ(SwipeAndRead({{"numeric", true}, {"track1", "12"}, {"track2", "34"}}, 8), "%12?%34?");
  const json reader = bench.Get("/api/devices/msr").body;
  EXPECT_EQ(reader["lastSwipe"]["tracks"]["track1"], json("12"));
  EXPECT_EQ(reader["lastSwipe"]["hosts"], 1);
}

TEST_F(BenchApi, UnplugAndPlugReachThePortService) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"ld", "HidLdManager::HidDeviceChanged - "}, {"msr", "HidMsrManager::HidDeviceChanged - "}};
  for (const auto& [id, line] : cases) {
    SCOPED_TRACE(id);
    const std::string name = id == "ld" ? "display" : "reader";
    const std::size_t before = bench.Sys().CountLog(line + "Unintialize old");
    Answer a = bench.Post("/api/devices/" + id + "/unplug", "{}");
    EXPECT_EQ(a.status, 200);
    EXPECT_EQ(a.body["plugged"], false);
    EXPECT_FALSE(SocketThere(name));
    EXPECT_TRUE(bench.Sys().WaitForLog(line + "Unintialize old", before + 1));
    a = bench.Post("/api/devices/" + id + "/plug", "{}");
    EXPECT_EQ(a.status, 200);
    EXPECT_EQ(a.body["plugged"], true);
    EXPECT_TRUE(bench.Sys().WaitForLog(line + "Initialize new", 1));
  }
  // The display came back blank and takes text again.
  ASSERT_TRUE(bench.Sys().OpenCom(BenchSystem::kDisplayCom));
  ASSERT_TRUE(bench.Sys().WriteCom("\x1f" "again"));
  EXPECT_TRUE(WaitFor([&] { return bench.Get("/api/devices/ld").body["lines"][0] == "again               "; }));
  // Stopping the bench unplugs both devices and ends it cleanly.
  bench.Bench().Signal(SIGTERM);
  EXPECT_EQ(bench.Bench().WaitExit(), 0);
  EXPECT_FALSE(SocketThere("display"));
  EXPECT_FALSE(SocketThere("reader"));
  EXPECT_TRUE(bench.Sys().WaitForLog("HidMsrManager::HidDeviceChanged - Unintialize old MSR", 2));
}

TEST_F(BenchApi, BadInputGetsAClearErrorAndTheDevicesRunOn) {
  struct Case {
    const char* what;
    std::string method, path, body;
    int status;
  };
  const std::vector<Case> cases = {
      {"malformed JSON", "POST", "/api/devices/msr/swipe", "{\"track1\": \"AB", 400},
      {"not an object", "POST", "/api/devices/msr/swipe", "[1,2]", 400},
      {"a track that is no string", "POST", "/api/devices/msr/swipe", "{\"track2\": 42}", 400},
      {"an unknown member", "POST", "/api/devices/msr/swipe", "{\"track4\": \"1\"}", 400},
      {"an error track 4", "POST", "/api/devices/msr/swipe", "{\"track2\": \"1\", \"error\": [4]}", 400},
      {"a track too long for its layout", "POST", "/api/devices/msr/swipe",
       json({{"track2", std::string(140, '1')}}).dump(), 400},
      {"track 3 in the numeric layout", "POST", "/api/devices/msr/swipe",
       "{\"numeric\": true, \"track3\": \"1\"}", 400},
      {"a character below the track's range", "POST", "/api/devices/msr/swipe", "{\"track2\": \"12 34\"}", 400},
      {"a body over the limit", "POST", "/api/devices/msr/swipe",
       json({{"track2", std::string(70000, '1')}}).dump(), 413},
      {"a swipe on the display", "POST", "/api/devices/ld/swipe", "{}", 400},
      {"an unknown device", "POST", "/api/devices/printer/unplug", "{}", 404},
      {"an unknown device's state", "GET", "/api/devices/printer", "", 404},
      {"an unknown path", "GET", "/api/nothing", "", 404},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Answer a = c.method == "GET" ? bench.Get(c.path) : bench.Post(c.path, c.body);
    EXPECT_EQ(a.status, c.status);
    ASSERT_TRUE(a.body.is_object());
    EXPECT_TRUE(a.body["error"].is_string() && !a.body["error"].get<std::string>().empty()) << a.body.dump();
  }

  // 1000 requests in about a second, from four connections: each is
  // answered, those over the limit with 429.
  std::map<int, int> statuses;
  std::mutex mutex;
  std::vector<std::thread> clients;
  const auto start = std::chrono::steady_clock::now();
  for (int t = 0; t < 4; ++t) {
    clients.emplace_back([&, t] {
      httplib::Client client("127.0.0.1", bench.Port());
      client.set_keep_alive(true);
      client.set_tcp_nodelay(true);
      for (int i = 0; i < 250; ++i) {
        std::this_thread::sleep_until(start + std::chrono::microseconds((i * 4 + t) * 1000));
        const auto res = client.Post("/api/devices/msr/swipe", {{"X-Bench-Token", bench.Token()}}, "{\"track2\": \"1234\"",
                                     "application/json");
        std::lock_guard<std::mutex> lock(mutex);
        ++statuses[res ? res->status : -1];
      }
    });
  }
  for (auto& c : clients) c.join();
  EXPECT_EQ(statuses.size(), 2u);
  EXPECT_GT(statuses[400], 0);
  EXPECT_GT(statuses[429], 0);
  EXPECT_EQ(statuses[400] + statuses[429], 1000);

  // The simulators never stopped: both sockets stayed, and a card still
  // reaches the application once the limit lets changes through again.
  EXPECT_TRUE(SocketThere("display"));
  EXPECT_TRUE(SocketThere("reader"));
  const json devices = bench.Get("/api/devices").body;
  ASSERT_TRUE(devices.is_array());
  for (const json& d : devices) EXPECT_EQ(d["plugged"], true) << d.dump();
  EXPECT_TRUE(WaitFor([&] { return bench.Get("/api/devices/msr").status == 200; }));
  ASSERT_TRUE(bench.Sys().OpenApp(BenchSystem::kReaderCom, app));
  ASSERT_TRUE(WaitFor([&] { return bench.Post("/api/devices/msr/swipe", "{\"track2\": \"5555\"}").status == 200; }));
  EXPECT_EQ(app->Read(6), ";5555?");
}

// Only the person who started the bench drives it: the token from its address,
// its own Host, no other origin and no form posts; another local user and a
// web page in the operator's browser are refused, and no card of theirs
// reaches the application.
TEST_F(BenchApi, OnlyWhoHasTheTokenDrivesItAndNoOtherSite) {
  const std::string token = bench.Token();
  const std::string host = "127.0.0.1:" + std::to_string(bench.Port());
  const std::string card = "{\"track2\": \"4000123456789010\"}";
  struct Case {
    const char* what;
    std::string method, path;
    httplib::Headers headers;
    std::string type;
    int status;
  };
  const std::vector<Case> cases = {
      {"no token", "POST", "/api/devices/msr/swipe", {}, "application/json", 403},
      {"another token", "POST", "/api/devices/msr/swipe", {{"X-Bench-Token", std::string(token.size(), '0')}},
       "application/json", 403},
      {"no token for the page", "GET", "/", {}, "", 403},
      {"no token for the events", "GET", "/api/events", {}, "", 403},
      {"another Host (a rebound name)", "POST", "/api/devices/ld/unplug",
       {{"X-Bench-Token", token}, {"Host", "evil.example"}}, "application/json", 403},
      {"another origin", "POST", "/api/devices/msr/swipe", {{"X-Bench-Token", token}, {"Origin", "http://evil.example"}},
       "application/json", 403},
      {"a cross-site fetch", "POST", "/api/resume", {{"X-Bench-Token", token}, {"Sec-Fetch-Site", "cross-site"}},
       "application/json", 403},
      {"a form's text body", "POST", "/api/devices/msr/swipe", {{"X-Bench-Token", token}}, "text/plain", 415},
      {"the token in the address", "GET", "/api/devices/ld?token=" + token, {}, "", 200},
      {"its own origin", "GET", "/api/devices", {{"X-Bench-Token", token}, {"Origin", "http://" + host}}, "", 200},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    httplib::Client client("127.0.0.1", bench.Port());
    const auto res = c.method == "GET" ? client.Get(c.path, c.headers) : client.Post(c.path, c.headers, card, c.type);
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, c.status) << res->body;
  }
  // Another local user, without the token, cannot swipe or unplug.
  for (const std::string path : {"/api/devices/msr/swipe", "/api/devices/msr/unplug"}) {
    SCOPED_TRACE(path);
    EXPECT_EQ(zoltest::RunAsOtherUser([&] {
                httplib::Client client("127.0.0.1", bench.Port());
                const auto res = client.Post(path, card, "application/json");
                return res && res->status == 403 ? 0 : 1;
              }),
              0);
  }
  EXPECT_TRUE(SocketThere("reader"));
  // The first card the application reads is the one sent with the token.
  EXPECT_EQ(SwipeAndRead({{"track2", "5555"}}, 6), ";5555?");
}

TEST_F(BenchApi, EventStreamCarriesDisplayReaderAndLog) {
  benchtest::EventStream events(bench.Port(), bench.Token());
  ASSERT_TRUE(WaitFor([&] { return events.Connected(); }));
  std::mutex mutex;
  std::vector<json> displays;
  std::set<std::string> logLines;
  events.OnEvent([&](const std::string& type, const json& data) {
    std::lock_guard<std::mutex> lock(mutex);
    if (type == "display") displays.push_back(data);
    if (type == "log") {
      for (const json& l : data["lines"]) logLines.insert(l.get<std::string>());
    }
  });
  ASSERT_TRUE(bench.Sys().OpenCom(BenchSystem::kDisplayCom));
  ASSERT_TRUE(bench.Sys().WriteCom("\x1f" "streamed"));
  EXPECT_TRUE(WaitFor([&] {
    std::lock_guard<std::mutex> lock(mutex);
    return !displays.empty() && displays.back()["lines"][0] == "streamed            ";
  }));
  ASSERT_EQ(bench.Post("/api/resume", "{}").status, 200);
  EXPECT_TRUE(bench.Sys().WaitForLog("HidLdManager::HidResumeSuspend"));
  // The log tail follows the file as written.
  EXPECT_TRUE(WaitFor([&] {
    std::lock_guard<std::mutex> lock(mutex);
    for (const std::string& l : logLines) {
      if (l.find("HidLdManager::HidResumeSuspend") != std::string::npos) return true;
    }
    return false;
  }));
  const auto types = events.Types();
  EXPECT_NE(std::find(types.begin(), types.end(), "resume"), types.end());
  const json tail = bench.Get("/api/log").body;
  ASSERT_TRUE(tail["lines"].is_array());
  EXPECT_EQ(tail["path"], bench.Sys().LogFile());
}

}  // namespace
