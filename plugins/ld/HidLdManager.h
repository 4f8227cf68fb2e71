#pragma once
// The line-display manager: finds the display, hands the serial data over to
// the receive-processing thread, applies it to the emulated display, sends the
// reports, reads the status reports, scrolls the message on its own thread and
// follows device changes and resume.
//
// Locks, always taken in this order: the hand-over lock (receive buffer and
// the readiness it depends on), the display lock (everything of LdDisplay and
// the scrolling message's number), then the device-list lock and the send
// lock. Every call into the emulation, and the sending of what it returns,
// is made with the display lock held: a scroll step is never sent between a
// hand-over's stop of the message and that hand-over's own lines.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "common/hid/BexHidLd.h"
#include "common/hid/HidDeviceManager.h"
#include "common/thread/ThreadUtil.h"
#include "platform/Event.h"
#include "platform/WinTypes.h"
#include "plugins/ld/LdDisplay.h"

class HidLdManager : public CThreadUtil, public HidDeviceManager<BexHidLd> {
 public:
  static constexpr DWORD kReceiveBufferSize = 4096;
  static constexpr DWORD kScrollStepMs = 250;

  HidLdManager();
  ~HidLdManager() override;
  HidLdManager(const HidLdManager&) = delete;
  HidLdManager& operator=(const HidLdManager&) = delete;

  // 1 on success, 0 on failure.
  int Initialize();
  void Terminate();
  // Hands the data over; blocks while the previous hand-over is processed.
  void Receive(const BYTE* data, DWORD length);
  // One pass of the receive-processing thread; stop (optional) ends its wait.
  void ProcessReceiveBuffer(sys::Event* stop = nullptr);
  // One pass of the status thread; stop (optional) ends its wait.
  void ProcessLdStatus(sys::Event* stop = nullptr);

  // BeginShutdown (shared) also wakes the receive, status and scrolling
  // workers for good; the bridge calls it before it stops their threads.

 protected:
  // The scrolling-message thread: one message per call.
  void Run() override;

 private:
  // Sends one report to the first display under the send lock; 1 if sent.
  int SendCommand(const BYTE* bytes, DWORD length);

  // The start-up sequence towards a found display; true when the status
  // request was sent. freeHandOver drops an unprocessed hand-over.
  bool StartDisplay(const char* operation, bool freeHandOver);
  // The display in use went away: scroll stopped, state cleared, not ready.
  void DeviceLost() override;
  void DeviceFound(Cause cause, const std::string& caller) override;
  bool CreateEvents();
  // Carries out what the emulation returned, in order, from index first;
  // with the display lock held.
  void Perform(LdActions actions, std::size_t first = 0);
  // Logs and sends one report action; true if it was sent.
  bool SendReport(const LdAction& action);

  bool m_LogSinkInstalled;

  std::unique_ptr<sys::Event> m_InitEvent;
  std::unique_ptr<sys::Event> m_ReceiveEvent;
  std::unique_ptr<sys::Event> m_ProcessEvent;
  std::unique_ptr<sys::Event> m_ScrollingMessageEvent;
  std::unique_ptr<sys::Event> m_ScrollingMessageStopEvent;

  std::mutex m_HandOverLock;
  BYTE m_ReceiveBuffer[kReceiveBufferSize] = {};
  std::int32_t m_ReceiveLength = 0;

  DWORD m_DeviceInformation[3] = {};
  BYTE m_StatusBytes[BexHidLd::kStatusBytes] = {};

  // m_ScrollingMessageEvent is set while a message waits to scroll or
  // scrolls; m_ScrollingMessageStopEvent wakes the scrolling thread when it
  // stops. Both change under the display lock.
  std::mutex m_DisplayLock;
  LdDisplay m_Display;
  // Counts the messages started, so that the thread knows its own.
  std::uint32_t m_ScrollMessage = 0;
  // A start was signalled and no stop since.
  bool m_ScrollSignalled = false;
};
