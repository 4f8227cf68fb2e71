#include "tests/bench/Chromium.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <vector>

namespace benchtest {
namespace {

using nlohmann::json;

constexpr const char* kProgram = "/usr/bin/chromium";

}  // namespace

bool Chromium::Available() { return ::access(kProgram, X_OK) == 0; }

Chromium::~Chromium() {
  if (m_toChrome >= 0) ::close(m_toChrome);
  if (m_fromChrome >= 0) ::close(m_fromChrome);
  if (m_pid > 0) {
    // Its own group: the browser and the helpers it forked.
    ::kill(-m_pid, SIGTERM);
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (::waitpid(m_pid, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > deadline) {
        ::kill(-m_pid, SIGKILL);
        ::waitpid(m_pid, &status, 0);
        break;
      }
      ::poll(nullptr, 0, 20);
    }
  }
}

bool Chromium::Start(const std::string& url) {
  int in[2], out[2];
  if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) {
    m_problem = "pipe failed";
    return false;
  }
  const std::string log = m_profile.Path() + "/chromium.out";
  std::vector<std::string> argv = {kProgram,
                                   "--headless",
                                   "--no-sandbox",
                                   "--disable-gpu",
                                   "--disable-quic",
                                   "--no-first-run",
                                   "--disable-background-networking",
                                   "--disable-component-update",
                                   "--disable-sync",
                                   "--user-data-dir=" + m_profile.Path() + "/profile",
                                   "--window-size=1280,880",
                                   "--remote-debugging-pipe",
                                   url};
  m_pid = ::fork();
  if (m_pid < 0) {
    m_problem = "fork failed";
    return false;
  }
  if (m_pid == 0) {
    ::setpgid(0, 0);
    const int logFd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    // Descriptors 3 and 4 are the protocol's; dup2 clears close-on-exec.
    const int fromTest = ::fcntl(in[0], F_DUPFD, 10);
    const int toTest = ::fcntl(out[1], F_DUPFD, 10);
    ::dup2(fromTest, 3);
    ::dup2(toTest, 4);
    if (logFd >= 0) {
      ::dup2(logFd, 1);
      ::dup2(logFd, 2);
    }
    std::vector<char*> args;
    for (std::string& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    ::execv(args[0], args.data());
    ::_exit(127);
  }
  ::close(in[0]);
  ::close(out[1]);
  m_toChrome = in[1];
  m_fromChrome = out[0];
  // The page target is there once the browser has opened the url.
  std::string targetId;
  const bool found = zoltest::WaitFor(
      [&] {
        const auto targets = Call("Target.getTargets", json::object(), false, 2000);
        if (!targets) return false;
        for (const json& t : (*targets)["targetInfos"]) {
          if (t["type"] == "page") targetId = t["targetId"];
        }
        return !targetId.empty();
      },
      zoltest::kDeadlineMs);
  if (!found) {
    m_problem = "no page target: " + zoltest::ReadText(log);
    return false;
  }
  const auto attached = Call("Target.attachToTarget", {{"targetId", targetId}, {"flatten", true}}, false, 5000);
  if (!attached || !(*attached)["sessionId"].is_string()) {
    m_problem = "cannot attach to the page";
    return false;
  }
  m_session = (*attached)["sessionId"];
  return true;
}

std::optional<json> Chromium::Evaluate(const std::string& expression, int timeoutMs) {
  const auto result = Call("Runtime.evaluate", {{"expression", expression}, {"returnByValue", true}}, true, timeoutMs);
  if (!result || result->contains("exceptionDetails")) return std::nullopt;
  return (*result)["result"].value("value", json());
}

std::optional<json> Chromium::Call(const std::string& method, const json& params, bool inPage, int timeoutMs) {
  const int id = ++m_nextId;
  json message = {{"id", id}, {"method", method}, {"params", params}};
  if (inPage) message["sessionId"] = m_session;
  std::string text = message.dump();
  text.push_back('\0');
  for (std::size_t done = 0; done < text.size();) {
    const ssize_t n = ::write(m_toChrome, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return std::nullopt;
    done += static_cast<std::size_t>(n);
  }
  // Events come in between; the answer carries the command's id.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    std::string reply;
    if (left <= 0 || !Receive(&reply, static_cast<int>(left))) return std::nullopt;
    const json answer = json::parse(reply, nullptr, false);
    if (answer.is_object() && answer.value("id", -1) == id) {
      if (answer.contains("error")) return std::nullopt;
      return answer.value("result", json::object());
    }
  }
}

bool Chromium::Receive(std::string* message, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    const std::size_t end = m_pending.find('\0');
    if (end != std::string::npos) {
      *message = m_pending.substr(0, end);
      m_pending.erase(0, end + 1);
      return true;
    }
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    if (left <= 0) return false;
    pollfd p{m_fromChrome, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left)) <= 0) continue;
    char buffer[65536];
    const ssize_t n = ::read(m_fromChrome, buffer, sizeof(buffer));
    if (n <= 0) return false;
    m_pending.append(buffer, static_cast<std::size_t>(n));
  }
}

}  // namespace benchtest
