#include "platform/AppendFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <signal.h>

#include <cerrno>
#include <cstdio>
#include <mutex>

#include "platform/Error.h"
#include "platform/ErrorNumbers.h"
#include "platform/posix/PosixError.h"
#include "platform/posix/UniqueFd.h"

namespace sys {
namespace {

void IgnoreFileSizeSignal() {
  static std::once_flag once;
  std::call_once(once, [] { ::signal(SIGXFSZ, SIG_IGN); });
}

}  // namespace

bool AppendFile::Open(const std::string& name) {
  Close();
  IgnoreFileSizeSignal();
  // O_NONBLOCK: opening a FIFO without a reader must not wait for one.
  posix::UniqueFd file(::open(name.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0640));
  if (!file) {
    posix::SetLastErrorFromErrno(errno == ENXIO ? EACCES : errno);
    return false;
  }
  struct stat st{};
  if (::fstat(file.Get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    file.Reset();
    SetLastError(errnum::kErrorAccessDenied);  // not a regular file
    return false;
  }
  ::fcntl(file.Get(), F_SETFL, O_APPEND);
  m_size = static_cast<std::uint64_t>(st.st_size);
  m_handle.Reset(file.Release());
  return true;
}

void FileHandleTraits::Close(Handle h) { ::close(static_cast<int>(h)); }

bool AppendFile::Write(const void* data, std::size_t size) {
  const char* p = static_cast<const char*>(data);
  const std::uint64_t before = m_size;
  while (size > 0) {
    ssize_t n = ::write(static_cast<int>(m_handle.Get()), p, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      posix::SetLastErrorFromErrno(errno);
      // What this call wrote ends in mid-line (a full disk, the file-size
      // limit): take it back, so the next write does not join it.
      if (m_size != before && ::ftruncate(static_cast<int>(m_handle.Get()), static_cast<off_t>(before)) == 0) {
        m_size = before;
      }
      return false;
    }
    m_size += static_cast<std::uint64_t>(n);
    p += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

bool RenameNoReplace(const std::string& from, const std::string& to) {
  // rename() would replace an existing target; Windows refuses, and so must we.
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) != 0) {
    posix::SetLastErrorFromErrno(errno);
    return false;
  }
  return true;
}

}  // namespace sys
