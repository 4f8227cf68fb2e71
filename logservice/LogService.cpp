// The logging service's threads: accept, one reader per client, one writer.
#include "logservice/LogService.h"

#include <cstdio>
#include <cstring>
#include <system_error>

#include "common/config/ConfigDoc.h"
#include "common/log/LogEndpoint.h"
#include "platform/Debug.h"
#include "platform/Error.h"
#include "platform/Paths.h"
#include "platform/ResourceLimits.h"
#include "platform/SocketOwner.h"
#include "platform/Text.h"
#include "platform/Thread.h"
#include "platform/Time.h"

namespace zollogsvc {

namespace {

// At stop a reader keeps reading until its client has been quiet this long,
constexpr std::uint32_t kDrainIdleMs = 250;
// but never longer than this from the stop, even for a client that never pauses.
constexpr std::uint64_t kDrainLimitMs = 3000;
// While the file is not open, its open is tried again this often.
constexpr std::uint32_t kReopenRetryMs = 1000;
// Pause after a failed accept before the next one.
constexpr std::uint32_t kAcceptBackoffMs = 20;
constexpr std::uint32_t kAcceptBackoffHardMs = 250;
// The most the writer hands to the file in one write.
constexpr std::size_t kBatchBytes = 1 << 20;

bool AllDigits(const std::wstring& v) {
  if (v.empty()) return false;
  for (wchar_t c : v) {
    if (c < L'0' || c > L'9') return false;
  }
  return true;
}

// The value of a string of digits; false when it does not fit in 64 bits.
bool DigitsValue(const std::wstring& v, std::uint64_t& out) {
  std::uint64_t n = 0;
  for (wchar_t c : v) {
    std::uint64_t d = static_cast<std::uint64_t>(c - L'0');
    if (n > (UINT64_MAX - d) / 10) return false;
    n = n * 10 + d;
  }
  out = n;
  return true;
}

// One line on standard error: what failed, the code and the system's text.
void SayFailure(const std::string& what, std::uint32_t error) {
  std::string text = sys::ErrorText(error);
  if (text.size() >= 2) text.resize(text.size() - 2);  // its CR LF
  char code[32];
  std::snprintf(code, sizeof code, " - (0x%x)", static_cast<unsigned>(error));
  sys::DebugOutput("[ZOL]: Log Service " + what + code + text);
}

}  // namespace

LogServiceSettings ParseServiceSettings(const std::vector<std::pair<std::wstring, std::wstring>>& keys,
                                        const std::string& defaultFileName) {
  LogServiceSettings s;
  s.fileName = defaultFileName;
  for (const auto& [name, value] : keys) {
    if (name == L"File_Name") {
      s.fileName = sys::ToUtf8(value);
    } else if (name == L"File_Size") {
      if (!AllDigits(value)) continue;
      std::uint64_t kb = 0;
      // A size whose byte count does not fit in 64 bits means no limit.
      if (!DigitsValue(value, kb) || kb > UINT64_MAX / 1024) {
        s.limitBytes = 0;
      } else {
        s.limitBytes = kb * 1024;
      }
    } else if (name == L"TCP_Port") {
      std::uint64_t port = 0;
      if (AllDigits(value) && DigitsValue(value, port) && port <= 65535) s.tcpPort = static_cast<std::uint16_t>(port);
    }
  }
  return s;
}

LogServiceSettings ReadServiceSettings() {
  std::vector<datanode> children;
  std::vector<std::pair<std::wstring, std::wstring>> keys;
  if (ReadConfigSection(ZOL_CONFIG_LABEL_LOG_SERVICE, ZOL_SECTION_LOGGING, children) == ConfigRead::Found) {
    for (const datanode& n : children) keys.emplace_back(n.name, n.value);
  }
  LogServiceSettings s = ParseServiceSettings(keys, sys::ToUtf8(sys::GetFixedPath(sys::FixedPath::LogFile)));
  sys::DebugOutput("[ZOL]: Log Service TCP Port = " + std::to_string(s.tcpPort));
  return s;
}

std::string RotatedName(const std::string& fileName) {
  sys::LocalTime t = sys::NowLocal();
  char stamp[64];
  std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02d-%02d-%02d-%02d", t.year, t.month, t.day, t.hour, t.minute,
                t.second);
  return fileName + "." + stamp;
}

// ---- queue ----

void ChunkQueue::Push(const std::string& lines) {
  if (lines.empty()) return;
  std::lock_guard<std::mutex> lock(m_QueueLock);
  const bool wasEmpty = m_Queue.empty();
  ForEachChunk(lines, [&](const char* data, std::size_t size) { m_Queue.emplace_back(data, data + size); });
  if (wasEmpty) m_DataEvent.Set();  // set already while the queue holds chunks
}

void ChunkQueue::TakeAll(std::deque<std::vector<char>>& out) {
  std::lock_guard<std::mutex> lock(m_QueueLock);
  out.swap(m_Queue);
  m_Queue.clear();
  m_DataEvent.Reset();
}

// ---- writer ----

void CWriteTrace::Initialize(const std::string& fileName, std::uint64_t limitBytes, sys::Event* reopen) {
  m_FileName = fileName;
  m_Limit = limitBytes;
  m_Reopen = reopen;
  OpenFile();
}

void CWriteTrace::OpenFile() {
  if (m_File.Open(m_FileName)) {
    m_OpenFailureSaid = false;
    m_FileOpened.Set();
    return;
  }
  if (!m_OpenFailureSaid) {
    SayFailure("cannot open the log file " + m_FileName, sys::LastError());
    if (!m_File.Refusal().empty())
      sys::DebugOutput("[ZOL]: Log Service refuses the log file " + m_FileName + ": " + m_File.Refusal());
  }
  m_OpenFailureSaid = true;
}

void CWriteTrace::Run() {
  const std::uint32_t timeout = m_File.IsOpen() ? INFINITE : kReopenRetryMs;
  std::uint32_t rc = m_Reopen != nullptr ? sys::WaitAny({m_queue.DataEvent(), StopEvent(), *m_Reopen}, timeout)
                                         : sys::WaitAny({m_queue.DataEvent(), StopEvent()}, timeout);
  if (rc == WAIT_OBJECT_0 + 2) {
    // Reopen by name: what came before goes to the file as it was, what
    // comes after to the file now under that name.
    WriteQueued();
    m_File.Close();
    OpenFile();
    return;
  }
  if (!m_File.IsOpen()) OpenFile();
  WriteQueued();
}

// After the last step: the stop is requested only once every reader has
// queued what it received, so what is queued now is all there is.
void CWriteTrace::OnExit() { WriteQueued(); }

void CWriteTrace::WriteQueued() {
  std::deque<std::vector<char>> chunks;
  m_queue.TakeAll(chunks);
  if (chunks.empty()) return;
  if (!m_File.IsOpen()) OpenFile();
  // Consecutive chunks go to the file in one write; the size limit is still
  // checked before each chunk.
  m_Batch.clear();
  for (const auto& chunk : chunks) {
    if (chunk.empty()) continue;
    if (m_Limit != 0 && m_Limit < m_File.Size() + m_Batch.size() + chunk.size()) {
      FlushBatch();
      Rotate();
    }
    m_Batch.insert(m_Batch.end(), chunk.begin(), chunk.end());
    if (m_Batch.size() >= kBatchBytes) FlushBatch();
  }
  FlushBatch();
}

void CWriteTrace::FlushBatch() {
  // The file could not be opened: the data is dropped. A failed write (disk
  // full, past the file-size limit) is said once; the next write tries again.
  if (!m_Batch.empty() && m_File.IsOpen()) {
    if (m_File.Write(m_Batch.data(), m_Batch.size()) || WriteLinesThatFit()) {
      m_WriteFailureSaid = false;
    } else {
      if (!m_WriteFailureSaid) SayFailure("cannot write the log file " + m_FileName, sys::LastError());
      m_WriteFailureSaid = true;
    }
  }
  m_Batch.clear();
}

bool CWriteTrace::WriteLinesThatFit() {
  // The batch was taken back whole: its lines go one by one, so that those
  // that fit are written and only the rest is lost. The batch holds whole
  // lines only.
  std::size_t at = 0;
  while (at < m_Batch.size()) {
    const char* start = m_Batch.data() + at;
    const void* nl = std::memchr(start, '\n', m_Batch.size() - at);
    const std::size_t n = nl != nullptr ? static_cast<std::size_t>(static_cast<const char*>(nl) - start) + 1
                                        : m_Batch.size() - at;
    if (!m_File.Write(start, n)) return false;
    at += n;
  }
  return true;
}

void CWriteTrace::Rotate() {
  if (!m_File.IsOpen()) return;
  m_File.Close();
  // A name that exists already (two rotations in one second) is kept and
  // the current file reopened.
  sys::RenameNoReplace(m_FileName, RotatedName(m_FileName));
  OpenFile();
}

// ---- reader ----

CReadSocket::CReadSocket(CLogClientMgr& mgr, sys::Socket socket) : m_mgr(mgr), m_Socket(std::move(socket)) {}

CReadSocket::~CReadSocket() {
  {
    std::lock_guard<std::mutex> lock(m_FinishedLock);
    m_Socket.ShutdownBoth();  // the reader's wait returns; it closes the socket itself
  }
  if (m_Thread.joinable()) m_Thread.join();
}

bool CReadSocket::Start() {
  try {
    m_Thread = sys::StartThread([this] { Loop(); });
  } catch (const std::system_error&) {
    return false;
  }
  return true;
}

bool CReadSocket::Finished() const {
  std::lock_guard<std::mutex> lock(m_FinishedLock);
  return m_Finished;
}

void CReadSocket::Loop() {
  while (Step()) {
  }
  Finish();
}

void CReadSocket::Queue(const char* data, std::size_t size) {
  std::string lines;
  m_Lines.Feed(data, size, lines);
  m_mgr.Queue().Push(lines);
}

void CReadSocket::Finish() {
  // A line cut off by the close, a reset or the stop is closed as a line of
  // its own, so it never joins another client's line.
  std::string rest;
  m_Lines.Finish(rest);
  m_mgr.Queue().Push(rest);
  {
    // The descriptor goes back at once (the record itself waits for the next
    // accept): under descriptor pressure, ended clients must not hold any.
    std::lock_guard<std::mutex> lock(m_FinishedLock);
    m_Socket.ShutdownBoth();
    m_Socket.Close();
    m_Finished = true;
  }
  m_mgr.ReaderFinished();
}

bool CReadSocket::Step() {
  char buf[kChunkSize];
  const std::uint64_t deadline = m_mgr.DrainDeadline();
  if (deadline != 0 && sys::TickCountMs() >= deadline) return false;
  // What is there already is taken without a wait.
  long n = m_Socket.ReceiveNow(buf, sizeof buf);
  if (n > 0) {
    Queue(buf, static_cast<std::size_t>(n));
    return true;
  }
  // 0: the client closed its end (connection aborted, 1236); or a failure.
  if (n == 0 || sys::LastError() != sys::kWsaEwouldblock) return false;
  if (deadline == 0) {
    // 2: the service stops; the next steps read on under the deadline.
    return m_Socket.WaitReadable(&m_mgr.DrainEvent(), INFINITE) > 0;
  }
  // Stopping: a client quiet this long has sent all it will.
  const std::uint64_t now = sys::TickCountMs();
  const std::uint64_t left = deadline > now ? deadline - now : 0;
  return m_Socket.WaitReadable(nullptr, static_cast<std::uint32_t>(left < kDrainIdleMs ? left : kDrainIdleMs)) == 1;
}

// ---- accept ----

CLogClientMgr::CLogClientMgr() : m_WriteTrace(m_Queue), m_DrainEvent(sys::Event::Reset::Manual) {}

CLogClientMgr::~CLogClientMgr() {
  if (IsStarted() && !m_Stopped) StopService();
  StopAndJoin();
  if (m_LocalAccept.joinable()) m_LocalAccept.join();
}

DWORD CLogClientMgr::StartService(const LogServiceSettings& settings, sys::Event* reopen) {
  if (!m_Queue.IsValid() || !m_DrainEvent.IsValid()) return sys::LastError();
  if (!m_Winsock.Started()) return m_Winsock.Error();
  // Loopback only: the clients connect to "localhost", and nobody else may
  // write into the file.
  sys::Socket s = sys::Socket::CreateTcp();
  if (!(s.IsValid() && s.SetListenerReuse() && s.Bind(sys::kLoopbackAddress, settings.tcpPort) && s.Listen())) {
    const std::uint32_t error = sys::LastError();
    SayFailure("cannot listen on TCP port " + std::to_string(settings.tcpPort), error);
    return error != 0 ? error : sys::kWsaEaddrinuse;
  }
  m_ListenPort = s.LocalPort();
  m_ListenSocket = std::move(s);
  // The clients' preferred endpoint, where the platform has one. The TCP
  // port, held above, keeps a second service off it. Without it the
  // clients use TCP.
  if (const std::string local = zollog::LocalEndpoint(m_ListenPort); !local.empty()) {
    m_LocalListen = sys::Socket::ListenLocal(local);
    if (m_LocalListen.IsValid()) {
      m_LocalPath = local;
    } else {
      SayFailure("cannot listen on " + local, sys::LastError());
    }
  }
  m_WriteTrace.Initialize(settings.fileName, settings.limitBytes, reopen);
  if (DWORD rc = m_WriteTrace.Start(); rc != 0) return rc;
  if (DWORD rc = Start(); rc != 0) {
    m_WriteTrace.StopAndJoin();
    return rc;
  }
  if (m_LocalListen.IsValid()) {
    try {
      m_LocalAccept = sys::StartThread([this] {
        while (!IsStopRequested()) AcceptStep(m_LocalListen, StopEvent());
      });
    } catch (const std::system_error& e) {
      StopAndJoin();
      m_WriteTrace.StopAndJoin();
      return static_cast<DWORD>(e.code().value());
    }
  }
  return 0;
}

void CLogClientMgr::Run() { AcceptStep(m_ListenSocket, StopEvent()); }

void CLogClientMgr::AcceptStep(sys::Socket& listener, sys::Event& stop) {
  int ready = listener.WaitReadable(&stop, INFINITE);
  if (ready == 2) return;  // stop
  sys::Socket client;
  std::uint32_t error = 0;
  if (ready == 1) {
    client = listener.Accept();
    if (!client.IsValid()) error = sys::LastError();
  } else {
    error = sys::LastError();
  }
  if (!client.IsValid()) {
    // A failed accept never ends accepting; only the stop does. Ended
    // clients give back what they hold (out of descriptors, for one).
    RemoveFinishedClients();
    stop.Wait(sys::IsTransientAcceptError(error) ? kAcceptBackoffMs : kAcceptBackoffHardMs);
    return;
  }
  RemoveFinishedClients();
  AddClient(std::move(client));
}

// Serves the connections waiting in listener's backlog.
void CLogClientMgr::AcceptWaiting(sys::Socket& listener) {
  if (!listener.IsValid()) return;
  while (listener.WaitReadable(nullptr, 0) == 1) {
    sys::Socket client = listener.Accept();
    if (!client.IsValid()) break;
    AddClient(std::move(client));
  }
}

void CLogClientMgr::AddClient(sys::Socket client) {
  // Lines only from the system's own programs: another user's connection is
  // closed unread, counted, and said once.
  if (!sys::PeerOwnerTrusted(client)) {
    if (m_Refused.fetch_add(1) == 0) {
      sys::DebugOutput("[ZOL]: Log Service refused a connection of another user: its lines are not written");
    }
    return;
  }
  auto reader = std::make_unique<CReadSocket>(*this, std::move(client));
  std::lock_guard<std::mutex> lock(m_ClientListLock);
  if (!reader->Start()) return;  // the record is freed with its socket
  m_Clients.push_back(std::move(reader));
}

void CLogClientMgr::RemoveFinishedClients() {
  std::lock_guard<std::mutex> lock(m_ClientListLock);
  for (auto it = m_Clients.begin(); it != m_Clients.end();) {
    if ((*it)->Finished()) {
      it = m_Clients.erase(it);  // its reader has ended or is ending: joined here
    } else {
      ++it;
    }
  }
}

void CLogClientMgr::ReaderFinished() {
  std::lock_guard<std::mutex> lock(m_FinishLock);
  m_FinishCv.notify_all();
}

void CLogClientMgr::StopService() {
  // 1. No new clients. Those that connected already (waiting in the
  // listener's backlog) are served like the others.
  StopAndJoin();
  if (m_LocalAccept.joinable()) m_LocalAccept.join();
  if (!m_LocalPath.empty()) sys::Socket::RemoveLocal(m_LocalPath);
  AcceptWaiting(m_LocalListen);
  AcceptWaiting(m_ListenSocket);
  m_LocalListen.Close();
  m_ListenSocket.Close();
  // 2. Every reader reads what its client sends until the client is quiet
  // or the bound passes, closes its unfinished line, then ends.
  m_DrainDeadline.store(sys::TickCountMs() + kDrainLimitMs, std::memory_order_release);
  m_DrainEvent.Set();
  {
    std::unique_lock<std::mutex> finishLock(m_FinishLock);
    m_FinishCv.wait(finishLock, [&] {
      std::lock_guard<std::mutex> lock(m_ClientListLock);
      for (auto& c : m_Clients) {
        if (!c->Finished()) return false;
      }
      return true;
    });
  }
  {
    std::lock_guard<std::mutex> lock(m_ClientListLock);
    m_Clients.clear();
  }
  // 3. The writer writes everything queued, then ends.
  m_WriteTrace.StopAndJoin();
  m_Stopped = true;
  if (const std::uint64_t refused = m_Refused.load(); refused != 0) {
    sys::DebugOutput("[ZOL]: Log Service refused " + std::to_string(refused) + " connection(s) of other users");
  }
}

std::int32_t Run(sys::Event& stopEvent, sys::Event* reopen, const std::function<void()>& ready) {
  sys::RaiseDescriptorLimit();
  CLogClientMgr mgr;
  LogServiceSettings settings = ReadServiceSettings();
  if (DWORD rc = mgr.StartService(settings, reopen); rc != 0) return static_cast<std::int32_t>(rc);
  // Ready once it listens and has its file open. The stop event may be
  // auto-reset: a stop that ends this wait is not waited for again.
  if (sys::WaitAny({stopEvent, mgr.FileOpened()}, INFINITE) == WAIT_OBJECT_0 + 1) {
    if (ready) ready();
    stopEvent.Wait(INFINITE);
  }
  mgr.StopService();
  return 0;
}

}  // namespace zollogsvc
