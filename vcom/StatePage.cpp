#include "vcom/StatePage.h"

#include <sys/mman.h>
#include <unistd.h>

#include <new>
#include <utility>

namespace vcom {

namespace {

// The page mapped shared; null when it cannot be.
SharedState* MapPage(int fd, int protection) {
  void* at = ::mmap(nullptr, kSharedStateSize, protection, MAP_SHARED, fd, 0);
  return at == MAP_FAILED ? nullptr : static_cast<SharedState*>(at);
}

// A page received from a peer, mapped read-only when it is vcomd's.
SharedState* MapReceived(sys::posix::UniqueFd page) {
  SharedState* state = page ? MapPage(page.Get(), PROT_READ) : nullptr;
  if (state && state->magic.load() != kMagic) {
    ::munmap(state, kSharedStateSize);
    return nullptr;
  }
  return state;
}

}  // namespace

StatePage::StatePage(StatePage&& o) noexcept : m_fd(std::move(o.m_fd)), m_state(o.m_state) { o.m_state = nullptr; }

StatePage& StatePage::operator=(StatePage&& o) noexcept {
  if (this != &o) {
    Reset();
    m_fd = std::move(o.m_fd);
    m_state = o.m_state;
    o.m_state = nullptr;
  }
  return *this;
}

bool StatePage::Create(const std::string& name) {
  Reset();
  sys::posix::UniqueFd fd(::memfd_create(name.c_str(), MFD_CLOEXEC));
  if (!fd || ::ftruncate(fd.Get(), kSharedStateSize) != 0) return false;
  SharedState* at = MapPage(fd.Get(), PROT_READ | PROT_WRITE);
  if (!at) return false;
  m_fd = std::move(fd);
  m_state = new (at) SharedState{};
  m_state->magic.store(kMagic);
  return true;
}

bool StatePage::Map(sys::posix::UniqueFd page) {
  Reset();
  m_state = MapReceived(std::move(page));
  return m_state != nullptr;
}

bool StatePage::Replace(sys::posix::UniqueFd page) {
  SharedState* at = MapReceived(std::move(page));
  if (!at) return false;
  if (!m_state || ::mremap(at, kSharedStateSize, kSharedStateSize, MREMAP_MAYMOVE | MREMAP_FIXED, m_state) == MAP_FAILED) {
    ::munmap(at, kSharedStateSize);
    return false;
  }
  return true;
}

void StatePage::Reset() {
  if (m_state) ::munmap(m_state, kSharedStateSize);
  m_state = nullptr;
  m_fd.Reset();
}

}  // namespace vcom
