#pragma once
// The logging service: accepts the log clients' connections on the loopback
// interface, reads their lines and appends them to one rotated file.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "common/thread/ThreadUtil.h"
#include "logservice/LineAssembler.h"
#include "platform/AppendFile.h"
#include "platform/Event.h"
#include "platform/Socket.h"
#include "platform/WinTypes.h"

namespace zollogsvc {

inline constexpr std::uint16_t kDefaultTcpPort = 38674;
inline constexpr std::uint64_t kDefaultFileSizeKb = 10240;

struct LogServiceSettings {
  std::string fileName;         // UTF-8
  std::uint64_t limitBytes = kDefaultFileSizeKb * 1024;  // 0: no limit
  std::uint16_t tcpPort = kDefaultTcpPort;
};

// The defaults with the keys of the first Logging_Configuration section applied.
LogServiceSettings ParseServiceSettings(const std::vector<std::pair<std::wstring, std::wstring>>& keys,
                                        const std::string& defaultFileName);

// "<name>.<YYYY-MM-DD-HH-MM-SS>" of the current local time.
std::string RotatedName(const std::string& fileName);

class CLogClientMgr;

// The queue of received chunks between the readers and the writer.
class ChunkQueue {
 public:
  ChunkQueue() : m_DataEvent(sys::Event::Reset::Manual) {}
  bool IsValid() const { return m_DataEvent.IsValid(); }
  // Appends whole lines (as LineAssembler passes them on) as chunks of at
  // most kChunkSize bytes that end at line ends, with no other producer's
  // chunk between them.
  void Push(const std::string& lines);
  // Moves every queued chunk to out; resets the data event.
  void TakeAll(std::deque<std::vector<char>>& out);
  sys::Event& DataEvent() { return m_DataEvent; }

 private:
  sys::Event m_DataEvent;
  std::mutex m_QueueLock;
  std::deque<std::vector<char>> m_Queue;
};

// The writer thread: the append-only file, its rotation and its reopening.
class CWriteTrace : public CThreadUtil {
 public:
  explicit CWriteTrace(ChunkQueue& queue) : m_queue(queue), m_FileOpened(sys::Event::Reset::Manual) {}
  ~CWriteTrace() override { StopAndJoin(); }
  // Stores the settings and opens the file (a failure is said once and the
  // open tried again later). reopen, when given, asks for the file to be
  // reopened by name.
  void Initialize(const std::string& fileName, std::uint64_t limitBytes, sys::Event* reopen = nullptr);
  // Set once the file has been opened.
  sys::Event& FileOpened() { return m_FileOpened; }

 protected:
  void Run() override;
  void OnExit() override;

 private:
  void WriteQueued();
  void FlushBatch();
  bool WriteLinesThatFit();
  void Rotate();
  void OpenFile();

  std::string m_FileName;
  std::uint64_t m_Limit = 0;
  sys::AppendFile m_File;
  ChunkQueue& m_queue;
  std::vector<char> m_Batch;
  sys::Event* m_Reopen = nullptr;
  sys::Event m_FileOpened;
  bool m_OpenFailureSaid = false;
  bool m_WriteFailureSaid = false;
};

// One accepted client and its reader thread. A reader holds no descriptor
// besides its socket.
class CReadSocket {
 public:
  CReadSocket(CLogClientMgr& mgr, sys::Socket socket);
  ~CReadSocket();  // wakes the reader (shutdown) and waits for it
  CReadSocket(const CReadSocket&) = delete;
  CReadSocket& operator=(const CReadSocket&) = delete;
  // False when no thread could be started.
  bool Start();
  bool Finished() const;

 private:
  void Loop();
  bool Step();  // false once the connection is done with
  void Queue(const char* data, std::size_t size);
  void Finish();

  CLogClientMgr& m_mgr;
  sys::Socket m_Socket;
  LineAssembler m_Lines;
  std::thread m_Thread;
  mutable std::mutex m_FinishedLock;
  bool m_Finished = false;
};

// The accept thread, the client list and the queue.
class CLogClientMgr : public CThreadUtil {
 public:
  CLogClientMgr();
  ~CLogClientMgr() override;

  // Start: returns 0 or the system error code (the port cannot be listened
  // on, said on standard error).
  DWORD StartService(const LogServiceSettings& settings, sys::Event* reopen = nullptr);
  // Stop: what connected clients send within the drain bound is written.
  void StopService();
  // The port actually listened on.
  std::uint16_t ListeningPort() const { return m_ListenPort; }
  // The local listener's path, empty when there is none.
  const std::string& LocalPath() const { return m_LocalPath; }
  // Connections of other users closed unread.
  std::uint64_t RefusedConnections() const { return m_Refused.load(); }
  sys::Event& FileOpened() { return m_WriteTrace.FileOpened(); }

  ChunkQueue& Queue() { return m_Queue; }
  sys::Event& DrainEvent() { return m_DrainEvent; }
  // 0 while running; at stop, the tick count at which readers give up.
  std::uint64_t DrainDeadline() const { return m_DrainDeadline.load(std::memory_order_acquire); }
  void ReaderFinished();

 protected:
  void Run() override;

 private:
  // One accept from listener, unless stop is set first.
  void AcceptStep(sys::Socket& listener, sys::Event& stop);
  // Serves the connections already in listener's backlog.
  void AcceptWaiting(sys::Socket& listener);
  void RemoveFinishedClients();
  void AddClient(sys::Socket client);

  sys::SocketLibrary m_Winsock;
  sys::Socket m_ListenSocket;
  std::uint16_t m_ListenPort = 0;
  sys::Socket m_LocalListen;
  std::string m_LocalPath;
  // Accepts on the local listener (Linux) beside the TCP accept thread, until
  // that one's stop event is set; it holds no descriptor of its own.
  std::thread m_LocalAccept;
  std::atomic<std::uint64_t> m_Refused{0};
  std::mutex m_ClientListLock;
  std::list<std::unique_ptr<CReadSocket>> m_Clients;
  ChunkQueue m_Queue;
  CWriteTrace m_WriteTrace;
  sys::Event m_DrainEvent;
  std::atomic<std::uint64_t> m_DrainDeadline{0};
  std::mutex m_FinishLock;
  std::condition_variable m_FinishCv;
  bool m_Stopped = false;
};

// Reads the settings (with the service's debug-output lines).
LogServiceSettings ReadServiceSettings();
// The whole service run: start, call ready once listening with the file
// open, wait for stopEvent, stop. 0 or an error code. reopen may be null.
std::int32_t Run(sys::Event& stopEvent, sys::Event* reopen, const std::function<void()>& ready);

}  // namespace zollogsvc
