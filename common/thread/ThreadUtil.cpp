#include "common/thread/ThreadUtil.h"

#include <future>
#include <system_error>

#include "platform/Error.h"
#include "platform/Thread.h"

CThreadUtil::~CThreadUtil() {
  if (m_Started && !m_Exited.load()) CThreadUtil::Stop();
  // A worker still in its step after Stop's 2.5 s is awaited, never
  // terminated: the events below must outlive it.
  JoinWorker();
  m_StopEvent.reset();
  m_DoneEvent.reset();
  m_Started = false;
  m_ThreadId = 0;
}

DWORD CThreadUtil::Start() {
  if (m_Started) return ERROR_ALREADY_EXISTS;
  auto stopEvent = std::make_unique<sys::Event>(sys::Event::Reset::Manual, false);
  if (!stopEvent->IsValid()) return sys::LastError();
  auto doneEvent = std::make_unique<sys::Event>(sys::Event::Reset::Manual, false);
  if (!doneEvent->IsValid()) return sys::LastError();
  m_StopEvent = std::move(stopEvent);
  m_DoneEvent = std::move(doneEvent);

  // The worker reports its id before Start returns, as thread creation does.
  std::promise<DWORD> idReady;
  std::future<DWORD> id = idReady.get_future();
  try {
    m_Thread = sys::StartThread([this, &idReady] {
      idReady.set_value(sys::CurrentThreadId());
      ThreadProc();
    });
  } catch (const std::system_error&) {
    return ERROR_NOT_ENOUGH_MEMORY;
  }
  m_ThreadId = id.get();
  m_Started = true;
  return 0;
}

void CThreadUtil::ThreadProc() {
  m_Exited = false;
  // A step always runs once; the stop request is tested between steps only.
  // A failing test counts as a stop, so a broken event cannot spin for ever.
  do {
    Run();
  } while (m_StopEvent->Wait(0) == WAIT_TIMEOUT);
  OnExit();
  m_DoneEvent->Set();
  m_Exited = true;
}

DWORD CThreadUtil::Stop() {
  if (m_StopEvent) m_StopEvent->Set();
  if (!m_DoneEvent) return WAIT_FAILED;
  const DWORD done = m_DoneEvent->Wait(0);
  if (done != WAIT_TIMEOUT) return done;
  m_StopEvent->Set();
  return m_DoneEvent->Wait(2500);
}

DWORD CThreadUtil::StopAndJoin() {
  const DWORD result = Stop();
  JoinWorker();
  return result;
}

void CThreadUtil::JoinWorker() {
  if (m_Thread.joinable()) m_Thread.join();
}
