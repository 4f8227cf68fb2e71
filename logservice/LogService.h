#pragma once
// The logging service: accepts the log clients' connections on the loopback
// interface, reads their lines and appends them to one rotated file.
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "common/hid/ThreadUtil.h"
#include "platform/AppendFile.h"
#include "platform/Event.h"
#include "platform/Socket.h"
#include "platform/WinTypes.h"

namespace zollogsvc {

inline constexpr std::size_t kChunkSize = 4096;
inline constexpr std::uint16_t kDefaultTcpPort = 38674;
inline constexpr std::uint64_t kDefaultFileSizeKb = 10240;

struct LogServiceSettings {
  std::string fileName;         // narrow
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
  // Appends the bytes as consecutive chunks of at most kChunkSize, with no
  // other producer's chunk between them.
  void Push(const char* data, std::size_t size);
  // Moves every queued chunk to out; resets the data event.
  void TakeAll(std::deque<std::vector<char>>& out);
  sys::Event& DataEvent() { return m_DataEvent; }

 private:
  sys::Event m_DataEvent;
  std::mutex m_QueueLock;
  std::deque<std::vector<char>> m_Queue;
};

// The writer thread: the append-only file and its rotation.
class CWriteTrace : public CThreadUtil {
 public:
  explicit CWriteTrace(ChunkQueue& queue) : m_queue(queue) {}
  ~CWriteTrace() override { StopAndJoin(); }
  // Stores the settings and opens the file (a failure leaves it closed).
  void Initialize(const std::string& fileName, std::uint64_t limitBytes);

 protected:
  void Run() override;
  void OnExit() override;

 private:
  void WriteQueued();
  void FlushBatch();
  void Rotate();
  void OpenFile();

  std::string m_FileName;
  std::uint64_t m_Limit = 0;
  sys::AppendFile m_File;
  ChunkQueue& m_queue;
  std::vector<char> m_Batch;
};

// One accepted client and its reader thread.
class CReadSocket : public CThreadUtil {
 public:
  CReadSocket(CLogClientMgr& mgr, sys::Socket socket);
  ~CReadSocket() override;
  bool Finished() const;
  void CloseSocket();

 protected:
  void Run() override;

 private:
  void QueueLines(bool everything);
  void Finish();

  CLogClientMgr& m_mgr;
  sys::Socket m_Socket;
  std::string m_Pending;  // bytes after the last line end
  std::uint64_t m_DrainDeadline = 0;
  mutable std::mutex m_FinishedLock;
  bool m_Finished = false;
};

// The accept thread, the client list and the queue.
class CLogClientMgr : public CThreadUtil {
 public:
  CLogClientMgr();
  ~CLogClientMgr() override;

  // Start: returns 0 or the system error code.
  DWORD StartService(const LogServiceSettings& settings);
  // Stop: nothing that reached the service is dropped.
  void StopService();
  // The port actually listened on (0 without a listener).
  std::uint16_t ListeningPort() const { return m_ListenPort; }

  ChunkQueue& Queue() { return m_Queue; }
  sys::Event& DrainEvent() { return m_DrainEvent; }
  void ReaderFinished();

 protected:
  void Run() override;

 private:
  void RemoveFinishedClients();
  void AddClient(sys::Socket client);

  sys::SocketLibrary m_Winsock;
  sys::Socket m_ListenSocket;
  std::uint16_t m_ListenPort = 0;
  std::mutex m_ClientListLock;
  std::list<std::unique_ptr<CReadSocket>> m_Clients;
  ChunkQueue m_Queue;
  CWriteTrace m_WriteTrace;
  sys::Event m_DrainEvent;
  std::mutex m_FinishLock;
  std::condition_variable m_FinishCv;
  bool m_Stopped = false;
};

// Reads the settings (with the service's debug-output lines).
LogServiceSettings ReadServiceSettings();
// The whole service run: start, wait for stopEvent, stop. 0 or an error code.
std::int32_t Run(sys::Event& stopEvent);

}  // namespace zollogsvc
