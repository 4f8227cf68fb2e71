#include "platform/WholeFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>

#include "platform/Error.h"
#include "platform/Text.h"
#include "platform/posix/PosixError.h"
#include "platform/posix/UniqueFd.h"

namespace sys {

namespace {

// Closes now, reporting the result (a write-back error shows here).
bool CloseNow(posix::UniqueFd& fd) { return ::close(fd.Release()) == 0; }

bool Fail() {
  posix::SetLastErrorFromErrno(errno);
  return false;
}

// The file a link names is the one replaced, so the link stays a link.
std::string Resolve(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
  char resolved[PATH_MAX];
  return ::realpath(path.c_str(), resolved) ? std::string(resolved) : path;
}

std::string FolderOf(const std::string& path) {
  std::string::size_type slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// A new file beside path that nobody else opened: O_EXCL on a fresh name.
// The mode follows the umask like any new file's.
int CreateTemporary(const std::string& path, std::string& temporary) {
  static std::atomic<unsigned> counter{0};
  const std::string folder = FolderOf(path);
  const std::string name = path.substr(path.rfind('/') + 1);
  for (int attempt = 0; attempt < 100; ++attempt) {
    temporary = folder + "/." + name + "." + std::to_string(::getpid()) + "." + std::to_string(counter++) + ".tmp";
    int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  errno = EEXIST;
  return -1;
}

// The rename is durable once the folder's entry is on disk.
void FlushFolder(const std::string& path) {
  posix::UniqueFd folder(::open(FolderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (folder.IsValid()) ::fsync(folder.Get());
}

}  // namespace

bool WriteFileContents(const std::wstring& path, const std::string& bytes) {
  // O_NONBLOCK: a FIFO without reader fails the open instead of blocking it.
  posix::UniqueFd fd(::open(ToUtf8(path).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NONBLOCK, 0644));
  if (!fd.IsValid()) return Fail();
  std::size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(fd.Get(), bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return Fail();
    }
    done += static_cast<std::size_t>(n);
  }
  if (::fsync(fd.Get()) != 0 && errno != EINVAL) return Fail();  // EINVAL: not a file that syncs
  return CloseNow(fd) || Fail();
}

bool ReplaceFileThrough(const std::wstring& target, const std::function<bool(const std::wstring& path)>& write) {
  const std::string path = Resolve(ToUtf8(target));
  struct stat old {};
  const bool exists = ::stat(path.c_str(), &old) == 0;
  if (exists && !S_ISREG(old.st_mode)) {
    SetLastError(posix::kErrorAccessDenied);
    return false;
  }
  std::string temporary;
  posix::UniqueFd fd(CreateTemporary(path, temporary));
  if (!fd.IsValid()) {
    if (exists && (errno == EACCES || errno == EPERM)) return write(FromUtf8(path));
    return Fail();
  }
  auto discard = [&temporary] {
    int error = errno;
    ::unlink(temporary.c_str());
    errno = error;
  };
  if (exists) {
    struct stat made {};
    bool ownerKept = ::fstat(fd.Get(), &made) == 0 && made.st_uid == old.st_uid && made.st_gid == old.st_gid;
    if (!ownerKept) ownerKept = ::fchown(fd.Get(), old.st_uid, old.st_gid) == 0;
    if (!ownerKept) {
      // Only the owner (or root) can give the file away: keep the file as it is and write into it.
      discard();
      return write(FromUtf8(path));
    }
    if (::fchmod(fd.Get(), old.st_mode & 07777) != 0) {
      discard();
      return Fail();
    }
  }
  if (!CloseNow(fd) || !write(FromUtf8(temporary))) {
    std::uint32_t error = LastError();
    discard();
    SetLastError(error);
    return false;
  }
  if (::rename(temporary.c_str(), path.c_str()) != 0) {
    posix::SetLastErrorFromErrno(errno);
    discard();
    return false;
  }
  FlushFolder(path);
  return true;
}

}  // namespace sys
