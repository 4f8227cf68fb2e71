#include "tools/hidsim/BenchHub.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

#include "drivers/hid/sim/SimSocket.h"
#include "platform/WinTypes.h"
#include "tools/hidsim/CardEncoding.h"
#include "tools/hidsim/SwipeSend.h"
#include "tools/hidsim/SimServer.h"

namespace hidsim {
namespace {

using nlohmann::json;

constexpr int kPlugTimeoutMs = 5000;
constexpr int kSwipeTimeoutMs = 5000;
constexpr std::size_t kKeptEvents = 512;
constexpr off_t kLogStartBytes = 64 * 1024;

bool SocketThere(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
}

// Appends what `path` gained since *offset, split into whole lines; a file
// that shrank or was replaced is read again from its start.
void ReadNewLines(const std::string& path, off_t* offset, ino_t* inode, std::string* partial,
                  std::vector<std::string>* lines) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  struct stat st {};
  if (::fstat(fd, &st) == 0) {
    if ((inode != nullptr && *inode != 0 && st.st_ino != *inode) || st.st_size < *offset) {
      *offset = 0;
      partial->clear();
    }
    if (inode != nullptr) *inode = st.st_ino;
  }
  char buffer[16384];
  for (;;) {
    const ssize_t n = ::pread(fd, buffer, sizeof(buffer), *offset);
    if (n <= 0) break;
    *offset += n;
    partial->append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  std::size_t start = 0;
  for (std::size_t nl; (nl = partial->find('\n', start)) != std::string::npos; start = nl + 1) {
    std::string line = partial->substr(start, nl - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines->push_back(std::move(line));
  }
  partial->erase(0, start);
}

std::optional<Bytes> ParseHexLine(const std::string& line) {
  Bytes bytes;
  std::size_t i = 0;
  while (i < line.size()) {
    if (line[i] == ' ') {
      ++i;
      continue;
    }
    if (i + 1 >= line.size()) return std::nullopt;
    const std::string pair = line.substr(i, 2);
    char* end = nullptr;
    const unsigned long v = std::strtoul(pair.c_str(), &end, 16);
    if (*end != '\0') return std::nullopt;
    bytes.push_back(static_cast<std::uint8_t>(v));
    i += 2;
  }
  return bytes;
}

// A JSON string member, absent, or a type error.
bool OptionalString(const json& request, const char* key, std::optional<std::string>* out, std::string* problem) {
  const auto it = request.find(key);
  if (it == request.end() || it->is_null()) return true;
  if (!it->is_string()) {
    *problem = std::string(key) + " must be a string";
    return false;
  }
  *out = it->get<std::string>();
  return true;
}

}  // namespace

BenchHub::BenchHub(BenchOptions options) : m_opt(std::move(options)) {
  m_lastSwipe = nullptr;
  struct stat st {};
  if (::stat(m_opt.tracePath.c_str(), &st) == 0) m_traceOffset = st.st_size;
}

BenchHub::~BenchHub() {
  Unplug(m_opt.reader);
  Unplug(m_opt.display);
}

BenchDevice* BenchHub::Find(const std::string& id) {
  if (id == m_opt.display.id) return &m_opt.display;
  if (id == m_opt.reader.id) return &m_opt.reader;
  return nullptr;
}

bool BenchHub::Plug(BenchDevice& device, std::string* problem) {
  std::lock_guard<std::mutex> plugLock(m_deviceMutex);
  if (device.pid > 0) return true;
  const bool display = &device == &m_opt.display;
  if (display) {
    // A new display starts blank; the mirror follows the trace from here.
    std::lock_guard<std::mutex> lock(m_mutex);
    struct stat st {};
    m_traceOffset = ::stat(m_opt.tracePath.c_str(), &st) == 0 ? st.st_size : 0;
    m_tracePartial.clear();
    m_model = LineDisplayModel();
    m_cursor = 0;
  }
  std::vector<std::string> argv = {m_opt.self, device.kind, "--name", device.name};
  argv.insert(argv.end(), device.args.begin(), device.args.end());
  std::vector<char*> cargv;
  for (std::string& a : argv) cargv.push_back(a.data());
  cargv.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid < 0) {
    *problem = std::string("fork: ") + std::strerror(errno);
    return false;
  }
  if (pid == 0) {
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    // A bench that dies unplugs its devices; the simulator holds none of the
    // bench's sockets, which would keep its HTTP connections from closing.
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    ::close_range(3, ~0U, 0);
    ::execv(cargv[0], cargv.data());
    ::_exit(127);
  }
  const std::string path = m_opt.uhid ? UhidControlPath(device.name) : DevicePath(device.name);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kPlugTimeoutMs);
  int status = 0;
  while (!SocketThere(path)) {
    if (::waitpid(pid, &status, WNOHANG) == pid) {
      *problem = "hidsim " + device.kind + " --name " + device.name + " ended at start (exit code " +
                 std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status)) + ")";
      return false;
    }
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      *problem = "the device " + device.name + " did not appear";
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  std::lock_guard<std::mutex> lock(m_mutex);
  device.pid = pid;
  Publish("devices", {{device.id, DeviceLocked(device)}});
  if (display) Publish("display", DisplayLocked());
  return true;
}

void BenchHub::Unplug(BenchDevice& device) {
  std::lock_guard<std::mutex> plugLock(m_deviceMutex);
  if (device.pid <= 0) return;
  ::kill(device.pid, SIGTERM);
  int status = 0;
  while (::waitpid(device.pid, &status, 0) < 0 && errno == EINTR) {
  }
  std::lock_guard<std::mutex> lock(m_mutex);
  device.pid = -1;
  Publish("devices", {{device.id, DeviceLocked(device)}});
}

bool BenchHub::Plugged(const BenchDevice& device) {
  std::lock_guard<std::mutex> lock(m_mutex);
  return device.pid > 0;
}

void BenchHub::ReapEnded() {
  std::lock_guard<std::mutex> plugLock(m_deviceMutex);
  for (BenchDevice* device : {&m_opt.display, &m_opt.reader}) {
    int status = 0;
    if (device->pid > 0 && ::waitpid(device->pid, &status, WNOHANG) == device->pid) {
      std::lock_guard<std::mutex> lock(m_mutex);
      device->pid = -1;
      Publish("devices", {{device->id, DeviceLocked(*device)}});
    }
  }
}

void BenchHub::FollowTrace() {
  std::lock_guard<std::mutex> lock(m_mutex);
  std::vector<std::string> lines;
  ReadNewLines(m_opt.tracePath, &m_traceOffset, nullptr, &m_tracePartial, &lines);
  if (lines.empty()) return;
  for (const std::string& line : lines) ApplyTraceLine(line);
  Publish("display", DisplayLocked());
}

void BenchHub::ApplyTraceLine(const std::string& line) {
  const auto report = ParseHexLine(line);
  if (!report) return;
  ++m_reports;
  m_model.Apply(report->data(), report->size());
  // The device learns the host's cursor only from the clear commands.
  const Bytes& r = *report;
  if (r.size() > 2 && r[0] == 0x00 && (r[1] == 0x01 || r[1] == 0x02) && r[2] < 40) m_cursor = r[2];
}

void BenchHub::FollowLog() {
  if (m_opt.logPath.empty()) return;
  std::lock_guard<std::mutex> lock(m_mutex);
  std::vector<std::string> lines;
  struct stat st {};
  // A long file met first: only its end matters to the tail.
  const bool cut = m_logInode == 0 && ::stat(m_opt.logPath.c_str(), &st) == 0 && st.st_size > kLogStartBytes;
  if (cut) m_logOffset = st.st_size - kLogStartBytes;
  ReadNewLines(m_opt.logPath, &m_logOffset, &m_logInode, &m_logPartial, &lines);
  if (cut && !lines.empty()) lines.erase(lines.begin());  // begun in the middle of it
  if (lines.empty()) return;
  json added = json::array();
  for (std::string& line : lines) {
    if (line.empty()) continue;
    added.push_back(line);
    m_log.push_back(std::move(line));
    if (m_log.size() > kLogLines) m_log.pop_front();
  }
  if (!added.empty()) Publish("log", {{"lines", added}});
}

std::pair<int, json> BenchHub::Swipe(const json& request) {
  if (!request.is_object()) return {400, {{"error", "the swipe must be a JSON object"}}};
  SwipeRequest swipe;
  std::string problem;
  if (!OptionalString(request, "track1", &swipe.track1, &problem) ||
      !OptionalString(request, "track2", &swipe.track2, &problem) ||
      !OptionalString(request, "track3", &swipe.track3, &problem)) {
    return {400, {{"error", problem}}};
  }
  for (const auto& [key, value] : request.items()) {
    if (key != "track1" && key != "track2" && key != "track3" && key != "numeric" && key != "error") {
      return {400, {{"error", "unknown member " + key}}};
    }
  }
  if (const auto it = request.find("numeric"); it != request.end()) {
    if (!it->is_boolean()) return {400, {{"error", "numeric must be true or false"}}};
    swipe.numeric = it->get<bool>();
  }
  json errorTracks = json::array();
  if (const auto it = request.find("error"); it != request.end()) {
    if (!it->is_array()) return {400, {{"error", "error must be a list of track numbers 1 to 3"}}};
    for (const json& n : *it) {
      if (!n.is_number_integer() || n.get<int>() < 1 || n.get<int>() > 3) {
        return {400, {{"error", "error must be a list of track numbers 1 to 3"}}};
      }
      swipe.error[static_cast<std::size_t>(n.get<int>() - 1)] = true;
      errorTracks.push_back(n.get<int>());
    }
  }
  const auto card = EncodeSwipe(swipe, &problem);
  if (!card) return {400, {{"error", problem}}};
  if (!Plugged(m_opt.reader)) return {409, {{"error", "the stripe reader " + m_opt.reader.name + " is unplugged"}}};
  std::optional<std::uint32_t> hosts;
  std::uint32_t error = 0;
  const std::string reader = m_opt.uhid ? UhidControlPath(m_opt.reader.name) : DevicePath(m_opt.reader.name);
  if (!SendSwipe(reader, *card, kSwipeTimeoutMs, &hosts, &error)) {
    return {error == ERROR_DEVICE_NOT_CONNECTED ? 409 : 500,
            {{"error", "the swipe on " + m_opt.reader.name + " failed (error " + std::to_string(error) + ")"}}};
  }
  json tracks = json::object();
  if (swipe.track1) tracks["track1"] = *swipe.track1;
  if (swipe.track2) tracks["track2"] = *swipe.track2;
  if (swipe.track3) tracks["track3"] = *swipe.track3;
  json answer = {{"queued", true},     {"hosts", hosts ? *hosts : 0}, {"numeric", swipe.numeric},
                 {"tracks", tracks},   {"error", errorTracks}};
  std::lock_guard<std::mutex> lock(m_mutex);
  answer["at"] = std::chrono::duration_cast<std::chrono::milliseconds>(
                     std::chrono::system_clock::now().time_since_epoch())
                     .count();
  m_lastSwipe = answer;
  Publish("reader", ReaderLocked());
  return {200, answer};
}

bool BenchHub::Resume(std::string* problem) {
  const std::string folder = DeviceFolder();
  if (!MakeFolders(folder)) {
    *problem = "cannot create " + folder + ": " + std::strerror(errno);
    return false;
  }
  // The providers' watches see the marker's creation; it need not stay.
  const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
  const std::string marker =
      folder + "/" + kResumeMarkerPrefix + "." + std::to_string(::getpid()) + "." + std::to_string(stamp);
  const int fd = ::open(marker.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) {
    *problem = "cannot create " + marker + ": " + std::strerror(errno);
    return false;
  }
  ::close(fd);
  ::unlink(marker.c_str());
  std::lock_guard<std::mutex> lock(m_mutex);
  Publish("resume", json::object());
  return true;
}

json BenchHub::DeviceLocked(const BenchDevice& device) const {
  return {{"id", device.id}, {"kind", device.kind}, {"name", device.name}, {"plugged", device.pid > 0}};
}

json BenchHub::DisplayLocked() const {
  json lines = json::array(), codes = json::array(), ram = json::array();
  for (int row = 0; row < LineDisplayModel::kRows; ++row) {
    std::string text;
    for (int c = 0; c < LineDisplayModel::kColumns; ++c) {
      const std::uint8_t code = m_model.Screen()[static_cast<std::size_t>(row * LineDisplayModel::kColumns + c)];
      codes.push_back(code);
      // Text for scripts: RAM characters as the digit of their location.
      text += code < LineDisplayModel::kRamLocations ? static_cast<char>('0' + code)
              : (code >= 0x20 && code <= 0x7E)       ? static_cast<char>(code)
                                                     : '?';
    }
    lines.push_back(text);
  }
  for (int loc = 0; loc < LineDisplayModel::kRamLocations; ++loc) {
    json rows = json::array();
    for (std::uint8_t r : m_model.RamPattern(loc)) rows.push_back(r);
    ram.push_back(rows);
  }
  json out = DeviceLocked(m_opt.display);
  out.update({{"lines", lines},
              {"codes", codes},
              {"ram", ram},
              {"characterSet", m_model.CharacterSet()},
              {"cursor", m_cursor},
              {"reports", m_reports}});
  return out;
}

json BenchHub::ReaderLocked() const {
  json out = DeviceLocked(m_opt.reader);
  out["lastSwipe"] = m_lastSwipe;
  return out;
}

json BenchHub::DisplayJson() {
  std::lock_guard<std::mutex> lock(m_mutex);
  return DisplayLocked();
}

json BenchHub::ReaderJson() {
  std::lock_guard<std::mutex> lock(m_mutex);
  return ReaderLocked();
}

json BenchHub::LogJson() {
  std::lock_guard<std::mutex> lock(m_mutex);
  return {{"path", m_opt.logPath}, {"lines", json(m_log)}};
}

json BenchHub::DevicesJson() {
  std::lock_guard<std::mutex> lock(m_mutex);
  return json::array({DeviceLocked(m_opt.display), DeviceLocked(m_opt.reader)});
}

json BenchHub::StateJson() {
  std::lock_guard<std::mutex> lock(m_mutex);
  return {{"display", DisplayLocked()},
          {"reader", ReaderLocked()},
          {"log", {{"path", m_opt.logPath}, {"lines", json(m_log)}}}};
}

void BenchHub::Publish(const std::string& type, const json& data) {
  ++m_seq;
  m_events.emplace_back(m_seq, "event: " + type + "\nid: " + std::to_string(m_seq) + "\ndata: " +
                                   data.dump(-1, ' ', false, json::error_handler_t::replace) + "\n\n");
  if (m_events.size() > kKeptEvents) m_events.pop_front();
  m_cv.notify_all();
}

std::uint64_t BenchHub::Sequence() {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_seq;
}

std::vector<std::string> BenchHub::Next(std::uint64_t* after, std::chrono::milliseconds limit) {
  std::unique_lock<std::mutex> lock(m_mutex);
  m_cv.wait_for(lock, limit, [&] { return m_stop || m_seq > *after; });
  std::vector<std::string> out;
  for (const auto& [seq, text] : m_events) {
    if (seq > *after) out.push_back(text);
  }
  *after = m_seq;
  return out;
}

void BenchHub::Stop() {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_stop = true;
  m_cv.notify_all();
}

bool BenchHub::Stopping() {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_stop;
}

}  // namespace hidsim
