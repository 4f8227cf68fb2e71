#include "platform/Error.h"

#include <cerrno>

#include "platform/common/ErrorTexts.h"
#include "platform/posix/PosixError.h"

namespace sys {
namespace {

thread_local std::uint32_t t_lastError = 0;


}  // namespace

std::uint32_t LastError() { return t_lastError; }

void SetLastError(std::uint32_t code) { t_lastError = code; }

std::string ErrorText(std::uint32_t code) {
  const char* text = detail::KnownErrorText(code);
  return text ? text : std::string();
}

namespace posix {

std::uint32_t Win32FromErrno(int error) {
  switch (error) {
    case 0: return 0;
    case ENOENT: return kErrorFileNotFound;
    case ENOTDIR: return kErrorPathNotFound;
    case EMFILE:
    case ENFILE: return kErrorTooManyOpenFiles;
    case EACCES:
    case EPERM:
    case EISDIR: return kErrorAccessDenied;  // opening a folder as a file is "access denied" there
    case EBADF: return kErrorInvalidHandle;
    case ENOMEM: return kErrorNotEnoughMemory;
    case EROFS: return kErrorWriteProtect;
    case EIO: return kErrorGenFailure;
    case EBUSY: return kErrorBusy;
    case ETXTBSY: return kErrorSharingViolation;
    case ENOTSUP: return kErrorNotSupported;
    case EEXIST: return kErrorAlreadyExists;
    case EINVAL: return kErrorInvalidParameter;
    case EPIPE: return kErrorBrokenPipe;
    case ENOSPC:
    case EFBIG: return kErrorDiskFull;  // EFBIG: past the process's file-size limit
    case ENOTEMPTY: return kErrorDirNotEmpty;
    case ENAMETOOLONG: return kErrorFilenameExcedRange;
    case ECANCELED: return kErrorOperationAborted;
    case EAGAIN: return kErrorIoPending;  // would block: the operation is pending
    case ETIMEDOUT: return kWsaEtimedout;
    case ENODEV:
    case ENXIO: return kErrorDeviceNotConnected;
    case ENOTSOCK: return kWsaEnotsock;
    case EADDRINUSE: return kWsaEaddrinuse;
    case EADDRNOTAVAIL: return kWsaEaddrnotavail;
    case ENETUNREACH: return kWsaEnetunreach;
    case ECONNABORTED: return kWsaEconnaborted;
    case ECONNRESET: return kWsaEconnreset;
    case ENOTCONN: return kWsaEnotconn;
    case ECONNREFUSED: return kWsaEconnrefused;
    case EHOSTUNREACH: return kWsaEhostunreach;
    default: return kErrorGenFailure;
  }
}

std::uint32_t SetLastErrorFromErrno(int error) {
  const std::uint32_t code = Win32FromErrno(error);
  t_lastError = code;
  return code;
}

}  // namespace posix
}  // namespace sys
