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

// Why a folder that others may write holds no log file of ours: a link or a
// hard link planted there would take our writes (and, run as root, our
// rights) to a file of their choosing. A sticky folder lets none of them
// touch a file that is ours; root is trusted.
bool OthersMayWrite(const struct stat& folder) {
  const uid_t self = ::geteuid();
  return (folder.st_uid != self && folder.st_uid != 0) || (folder.st_mode & (S_IWGRP | S_IWOTH)) != 0;
}

// In a sticky folder: ours, and no other name leads to it.
bool OwnFile(const struct stat& file) { return file.st_uid == ::geteuid() && file.st_nlink == 1; }

std::string NotOwnFile(const std::string& folderName) {
  return "others may write to its folder " + folderName + " and the file is not the service's own";
}

}  // namespace

bool AppendFile::Open(const std::string& name) {
  Close();
  IgnoreFileSizeSignal();
  const std::size_t slash = name.rfind('/');
  const std::string folderName = slash == std::string::npos ? "." : slash == 0 ? "/" : name.substr(0, slash);
  const std::string base = slash == std::string::npos ? name : name.substr(slash + 1);
  // The file is opened in the folder that was checked, not by its name again.
  posix::UniqueFd folder(::open(folderName.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  struct stat fst{};
  if (!folder || ::fstat(folder.Get(), &fst) != 0) {
    posix::SetLastErrorFromErrno(errno);
    return false;
  }
  const bool shared = OthersMayWrite(fst);
  const bool sticky = (fst.st_mode & S_ISVTX) != 0;
  if (shared && !sticky) {
    m_refusal = "others may write to its folder " + folderName;
    SetLastError(errnum::kErrorAccessDenied);
    return false;
  }
  // O_NONBLOCK: opening a FIFO without a reader must not wait for one.
  // O_NOFOLLOW: a link in the file's place is refused, never followed.
  posix::UniqueFd file(::openat(folder.Get(), base.c_str(),
                                O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW, 0640));
  if (!file) {
    const int e = errno;
    // ELOOP, or EACCES where the kernel's own protection of links and of
    // others' files in sticky folders came first.
    struct stat there{};
    if (::fstatat(folder.Get(), base.c_str(), &there, AT_SYMLINK_NOFOLLOW) == 0) {
      if (S_ISLNK(there.st_mode)) {
        m_refusal = "it is a symbolic link";
      } else if (shared && !OwnFile(there)) {
        m_refusal = NotOwnFile(folderName);
      }
    }
    posix::SetLastErrorFromErrno(e == ENXIO || e == ELOOP ? EACCES : e);
    return false;
  }
  struct stat st{};
  if (::fstat(file.Get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    file.Reset();
    SetLastError(errnum::kErrorAccessDenied);  // not a regular file
    return false;
  }
  if (shared && !OwnFile(st)) {
    file.Reset();
    m_refusal = NotOwnFile(folderName);
    SetLastError(errnum::kErrorAccessDenied);
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
