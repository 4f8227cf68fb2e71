// The logging service's threads: accept, one reader per client, one writer.
#include "logservice/LogService.h"

#include <cstdio>

#include "common/config/ConfigDoc.h"
#include "platform/Debug.h"
#include "platform/Error.h"
#include "platform/Paths.h"
#include "platform/Text.h"
#include "platform/Thread.h"
#include "platform/Time.h"

namespace zollogsvc {

namespace {

// At stop a reader keeps reading until its client has been quiet this long,
constexpr std::uint32_t kDrainIdleMs = 250;
// but never longer than this in all.
constexpr std::uint64_t kDrainLimitMs = 3000;
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

}  // namespace

LogServiceSettings ParseServiceSettings(const std::vector<std::pair<std::wstring, std::wstring>>& keys,
                                        const std::string& defaultFileName) {
  LogServiceSettings s;
  s.fileName = defaultFileName;
  for (const auto& [name, value] : keys) {
    if (name == L"File_Name") {
      std::string narrow;
      for (wchar_t c : value) narrow += static_cast<char>(static_cast<std::uint32_t>(c) & 0xFFu);
      s.fileName = narrow;
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

void ChunkQueue::Push(const char* data, std::size_t size) {
  if (size == 0) return;
  std::lock_guard<std::mutex> lock(m_QueueLock);
  const bool wasEmpty = m_Queue.empty();
  while (size > 0) {
    std::size_t n = size < kChunkSize ? size : kChunkSize;
    m_Queue.emplace_back(data, data + n);
    data += n;
    size -= n;
  }
  if (wasEmpty) m_DataEvent.Set();  // set already while the queue holds chunks
}

void ChunkQueue::TakeAll(std::deque<std::vector<char>>& out) {
  std::lock_guard<std::mutex> lock(m_QueueLock);
  out.swap(m_Queue);
  m_Queue.clear();
  m_DataEvent.Reset();
}

// ---- writer ----

void CWriteTrace::Initialize(const std::string& fileName, std::uint64_t limitBytes) {
  m_FileName = fileName;
  m_Limit = limitBytes;
  OpenFile();
}

void CWriteTrace::OpenFile() { m_File.Open(m_FileName); }

void CWriteTrace::Run() {
  sys::WaitAny({m_queue.DataEvent(), StopEvent()}, INFINITE);
  WriteQueued();
}

// After the last step: the stop is requested only once every reader has
// queued what it received, so what is queued now is all there is.
void CWriteTrace::OnExit() { WriteQueued(); }

void CWriteTrace::WriteQueued() {
  std::deque<std::vector<char>> chunks;
  m_queue.TakeAll(chunks);
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
  // The file could not be opened: the data is dropped. Write errors are
  // ignored; the next write tries again.
  if (!m_Batch.empty() && m_File.IsOpen()) m_File.Write(m_Batch.data(), m_Batch.size());
  m_Batch.clear();
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

CReadSocket::~CReadSocket() { StopAndJoin(); }

bool CReadSocket::Finished() const {
  std::lock_guard<std::mutex> lock(m_FinishedLock);
  return m_Finished;
}

void CReadSocket::CloseSocket() {
  std::lock_guard<std::mutex> lock(m_FinishedLock);
  m_Socket.ShutdownBoth();
  m_Socket.Close();
}

void CReadSocket::Finish() {
  QueueLines(true);
  {
    // The descriptor goes back at once (the record itself waits for the next
    // accept): under descriptor pressure, ended clients must not hold any.
    std::lock_guard<std::mutex> lock(m_FinishedLock);
    m_Socket.ShutdownBoth();
    m_Socket.Close();
    m_Finished = true;
  }
  StopEvent().Set();
  m_mgr.ReaderFinished();
}

void CReadSocket::QueueLines(bool everything) {
  if (m_Pending.empty()) return;
  std::size_t end = m_Pending.size();
  if (!everything) {
    // Whole lines only, so lines of different clients never mix; an
    // unfinished line waits for its rest unless it is already a chunk long.
    std::size_t lf = m_Pending.rfind("\r\n");
    std::size_t whole = lf == std::string::npos ? 0 : lf + 2;
    if (m_Pending.size() - whole < kChunkSize) end = whole;
  }
  if (end == 0) return;
  m_mgr.Queue().Push(m_Pending.data(), end);
  m_Pending.erase(0, end);
}

void CReadSocket::Run() {
  char buf[kChunkSize];
  // What is there already is taken without a wait.
  long n = m_Socket.ReceiveNow(buf, sizeof buf);
  if (n < 0 && sys::LastError() == sys::kWsaEwouldblock) {
    int ready;
    if (m_DrainDeadline == 0) {
      ready = m_Socket.WaitReadable(&m_mgr.DrainEvent(), INFINITE);
      if (ready == 2) {
        // The service stops: read on until the client is quiet.
        m_DrainDeadline = sys::TickCountMs() + kDrainLimitMs;
        return;
      }
    } else {
      ready = sys::TickCountMs() >= m_DrainDeadline ? 0 : m_Socket.WaitReadable(nullptr, kDrainIdleMs);
    }
    if (ready <= 0) {
      Finish();
      return;
    }
    n = m_Socket.Receive(buf, sizeof buf);
  }
  if (n <= 0) {
    // 0: the client closed its end (connection aborted, 1236).
    Finish();
    return;
  }
  m_Pending.append(buf, static_cast<std::size_t>(n));
  QueueLines(false);
}

// ---- accept ----

CLogClientMgr::CLogClientMgr() : m_WriteTrace(m_Queue), m_DrainEvent(sys::Event::Reset::Manual) {}

CLogClientMgr::~CLogClientMgr() {
  if (IsStarted() && !m_Stopped) StopService();
}

DWORD CLogClientMgr::StartService(const LogServiceSettings& settings) {
  if (!m_Queue.IsValid() || !m_DrainEvent.IsValid()) return sys::LastError();
  if (!m_Winsock.Started()) return m_Winsock.Error();
  // Loopback only: the clients connect to "localhost", and nobody else may
  // write into the file. Without a listener the service runs and accepts nothing.
  sys::Socket s = sys::Socket::CreateTcp();
  if (s.IsValid() && s.SetListenerReuse() && s.Bind(sys::kLoopbackAddress, settings.tcpPort) && s.Listen()) {
    m_ListenPort = s.LocalPort();
    m_ListenSocket = std::move(s);
  }
  m_WriteTrace.Initialize(settings.fileName, settings.limitBytes);
  if (DWORD rc = m_WriteTrace.Start(); rc != 0) return rc;
  if (DWORD rc = Start(); rc != 0) {
    m_WriteTrace.StopAndJoin();
    return rc;
  }
  return 0;
}

void CLogClientMgr::Run() {
  if (!m_ListenSocket.IsValid()) {
    StopEvent().Set();
    return;
  }
  int ready = m_ListenSocket.WaitReadable(&StopEvent(), INFINITE);
  if (ready == 2) return;  // stop
  sys::Socket client;
  std::uint32_t error = 0;
  if (ready == 1) {
    client = m_ListenSocket.Accept();
    if (!client.IsValid()) error = sys::LastError();
  } else {
    error = sys::LastError();
  }
  if (!client.IsValid()) {
    // A failed accept never ends accepting; only the stop does. Ended
    // clients give back what they hold (out of descriptors, for one).
    RemoveFinishedClients();
    StopEvent().Wait(sys::IsTransientAcceptError(error) ? kAcceptBackoffMs : kAcceptBackoffHardMs);
    return;
  }
  RemoveFinishedClients();
  AddClient(std::move(client));
}

void CLogClientMgr::AddClient(sys::Socket client) {
  auto reader = std::make_unique<CReadSocket>(*this, std::move(client));
  if (reader->Start() != 0) return;  // the record is freed with its socket
  std::lock_guard<std::mutex> lock(m_ClientListLock);
  m_Clients.push_back(std::move(reader));
}

void CLogClientMgr::RemoveFinishedClients() {
  std::lock_guard<std::mutex> lock(m_ClientListLock);
  for (auto it = m_Clients.begin(); it != m_Clients.end();) {
    if ((*it)->Finished()) {
      (*it)->CloseSocket();
      (*it)->StopAndJoin();
      it = m_Clients.erase(it);
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
  if (m_ListenSocket.IsValid()) {
    while (m_ListenSocket.WaitReadable(nullptr, 0) == 1) {
      sys::Socket client = m_ListenSocket.Accept();
      if (!client.IsValid()) break;
      AddClient(std::move(client));
    }
  }
  m_ListenSocket.Close();
  // 2. Every reader reads what its client already sent, then ends.
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
    for (auto& c : m_Clients) {
      c->CloseSocket();
      c->StopAndJoin();
    }
    m_Clients.clear();
  }
  // 3. The writer writes everything queued, then ends.
  m_WriteTrace.StopAndJoin();
  m_Stopped = true;
}

std::int32_t Run(sys::Event& stopEvent) {
  CLogClientMgr mgr;
  LogServiceSettings settings = ReadServiceSettings();
  if (DWORD rc = mgr.StartService(settings); rc != 0) return static_cast<std::int32_t>(rc);
  stopEvent.Wait(INFINITE);
  mgr.StopService();
  return 0;
}

}  // namespace zollogsvc
