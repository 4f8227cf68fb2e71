#pragma once
// CThreadUtil: a worker thread that runs one step of work (Run) over and over
// until asked to stop, then OnExit once.
//
// Stopping: Stop() signals the stop event and waits at most 2500 ms for the
// worker; a step is never interrupted. A step that blocks should wait on
// StopEvent() together with what it waits for, so that it returns at a stop.
//
// Destruction: the base destructor runs after the subclass's members are gone,
// while a worker may still be inside the subclass's Run. Every subclass must
// therefore call StopAndJoin() in its own destructor. The base destructor
// still waits for a worker that is running (it never terminates one), so no
// worker outlives the events and thread object that it uses. The object is
// never destroyed from its own worker (Run or OnExit).
#include <atomic>
#include <memory>
#include <thread>

#include "platform/Event.h"
#include "platform/WinTypes.h"

class CThreadUtil {
 public:
  CThreadUtil() = default;
  virtual ~CThreadUtil();
  CThreadUtil(const CThreadUtil&) = delete;
  CThreadUtil& operator=(const CThreadUtil&) = delete;

  // Creates the events and the thread: 0, or the system error code. An object
  // is started once; a second Start returns ERROR_ALREADY_EXISTS.
  DWORD Start();
  // Requests the stop and waits up to 2500 ms: 0 when the worker has
  // finished, WAIT_TIMEOUT when its step is still running, WAIT_FAILED when
  // it was never started.
  virtual DWORD Stop();
  // Stop, then waits without limit until the worker has ended. Returns Stop's
  // result. For subclass destructors (see above); safe to call more than once.
  DWORD StopAndJoin();

  DWORD ThreadId() const { return m_ThreadId.load(); }
  bool IsStarted() const { return m_Started; }
  bool HasExited() const { return m_Exited.load(); }

 protected:
  // One step of work; the base does nothing.
  virtual void Run() {}
  // Called once on the worker after the last step; the base does nothing.
  virtual void OnExit() {}

  // The stop request (manual-reset), for steps that wait: include it in a
  // sys::WaitAny. Valid from Start until destruction.
  sys::Event& StopEvent() { return *m_StopEvent; }
  bool IsStopRequested() const { return m_StopEvent && m_StopEvent->Wait(0) == WAIT_OBJECT_0; }

 private:
  void ThreadProc();
  void JoinWorker();

  std::thread m_Thread;
  std::unique_ptr<sys::Event> m_StopEvent;
  std::unique_ptr<sys::Event> m_DoneEvent;
  std::atomic<DWORD> m_ThreadId{0};
  bool m_Started = false;
  std::atomic<bool> m_Exited{false};
};
