#pragma once
// The opener's end of a vcomd interface: the port service's side of one
// virtual serial port where vcomd serves it. Opening the interface socket
// makes us its one opener and hands us the pty master (the data path); the
// socket itself then carries the I/O controls.
//
// A pty master accepts writes while the slave is closed and keeps them for
// the next opener, so every write checks for the hang-up first and again
// after writing, and drops what the application can no longer read.
//
// The port asks for the COM side's state before every read and write. While
// the master shows an open, writable COM side, vcomd's state page shows no
// hold and no close in progress, and the application has neither opened nor
// closed the COM side since vcomd last answered, the answer is known here
// without a round trip; otherwise vcomd answers, after its own events (it
// drops what a closed opening left unread). A readiness vcomd already has is
// not sent again.
//
// Every wait on vcomd is bounded (a connect to a full backlog, each answer).
// When vcomd ends, the interface is opened again once it is back and the
// opening it served is over. What a closed opening left unread is dropped
// here too, as soon as this side learns of the close (its own watch of the
// slave), and always before the first write into the next opening.
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "platform/posix/UniqueFd.h"
#include "vcom/Failure.h"
#include "vcom/Handover.h"
#include "vcom/Protocol.h"
#include "vcom/StatePage.h"

namespace vcom {

class VcomdOpener {
 public:
  VcomdOpener() = default;
  VcomdOpener(const VcomdOpener&) = delete;
  VcomdOpener& operator=(const VcomdOpener&) = delete;

  bool Open(const std::string& path, Failure& why);
  void Close();
  int Master() const { return m_master.Get(); }
  int Control() const { return m_control.Get(); }

  // An I/O control, answered here when it can be, otherwise by vcomd. May
  // be called from several threads.
  bool IoControl(std::uint32_t code, void* output, std::uint32_t outputSize, std::uint32_t* returned,
                 Failure& why);

  // One attempt at a read, or at the rest of a write of which done bytes
  // went: 1 finished, 0 would block, -1 failed with why (ERROR_BROKEN_PIPE
  // once the opening ended, after what it left unread was dropped).
  int Read(void* buffer, std::uint32_t length, std::uint32_t& done, Failure& why);
  int Write(const void* buffer, std::uint32_t length, std::uint32_t& done, Failure& why);

 private:
  bool LocalInfo(std::uint32_t (&info)[3]) const;
  void ForgetOpenings() const;
  void WatchState(sys::posix::UniqueFd page);
  void ReplaceState(sys::posix::UniqueFd page);
  bool OpeningEnded();
  void DropClosedOpening();
  int Exchange(const IoRequest& req, unsigned char* buf, std::size_t size, Failure& why);
  bool Reopen(Failure& why);
  void Purge();
  int Ended(Failure& why);
  int WriteOnce(const unsigned char* buffer, std::uint32_t length, std::uint32_t& done, Failure& why);

  std::string m_path;
  sys::posix::UniqueFd m_control;  // the interface socket
  sys::posix::UniqueFd m_master;   // the pty master: the data path
  StatePage m_page;                // vcomd's state page, read-only
  std::atomic<bool> m_pageCurrent{true};  // the page is the serving vcomd's
  sys::posix::UniqueFd m_openings;  // inotify: the application's opens and closes of the COM side
  int m_openingsWatch = -1;
  sys::posix::UniqueFd m_closes;  // the data path's own watch of the same, under m_dataLock
  int m_closesWatch = -1;
  std::atomic<bool> m_vcomdAnswered{false};  // vcomd has settled what came before the watch
  std::atomic<int> m_askingVcomd{0};  // GET_ZOL_INFO questions on their way to vcomd
  int m_rcvrdySent = -1;  // the readiness vcomd has from us; -1 unknown
  int m_unanswered = 0;   // answers still to come to questions given up on
  bool m_lost = false;    // vcomd closed the interface: it ended
  std::mutex m_ioctlLock;  // one request and its answer at a time
  std::mutex m_dataLock;   // writes, and the drops of what a closed opening left
};

}  // namespace vcom
