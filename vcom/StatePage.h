#pragma once
// One mapping of a port's state page (vcom/Protocol.h): vcomd creates it and
// writes; each opener maps the page vcomd handed over, read-only.
#include <string>

#include "platform/posix/UniqueFd.h"
#include "vcom/Protocol.h"

namespace vcom {

class StatePage {
 public:
  StatePage() = default;
  ~StatePage() { Reset(); }
  StatePage(StatePage&& o) noexcept;
  StatePage& operator=(StatePage&& o) noexcept;
  StatePage(const StatePage&) = delete;
  StatePage& operator=(const StatePage&) = delete;

  // vcomd: a new page (a memfd of that name), mapped for writing; false with errno.
  bool Create(const std::string& name);
  // The memfd, to hand over (vcomd's pages only).
  int Handle() const { return m_fd.Get(); }
  void SetHold(bool on) { m_state->hold.store(on ? 1u : 0u); }
  void SetClosePending(bool on) { m_state->closePending.store(on ? 1u : 0u); }

  // An opener: maps the page received (and closes the descriptor); false
  // when it cannot be mapped or is not vcomd's.
  bool Map(sys::posix::UniqueFd page);
  // A restarted vcomd's page takes this one's place at the same address, so
  // that a reader meanwhile reads one or the other; false (the old page,
  // if any, stays) when it cannot or there was none.
  bool Replace(sys::posix::UniqueFd page);

  // The mapped page, or null.
  const SharedState* State() const { return m_state; }
  void Reset();

 private:
  sys::posix::UniqueFd m_fd;  // vcomd's pages only
  SharedState* m_state = nullptr;
};

}  // namespace vcom
