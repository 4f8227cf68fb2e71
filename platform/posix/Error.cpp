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
    case ENOENT: return 2;
    case ENOTDIR: return 3;
    case EMFILE:
    case ENFILE: return 4;
    case EACCES:
    case EPERM:
    case EISDIR: return 5;  // opening a folder as a file is "access denied" there
    case EBADF: return 6;
    case ENOMEM: return 8;
    case EROFS: return 19;
    case EIO: return 31;
    case EBUSY: return 170;
    case ETXTBSY: return 32;
    case ENOTSUP: return 50;
    case EEXIST: return 183;
    case EINVAL: return 87;
    case EPIPE: return 109;
    case ENOSPC: return 112;
    case ENOTEMPTY: return 145;
    case ENAMETOOLONG: return 206;
    case ECANCELED: return 995;
    case EAGAIN: return 997;  // would block: the operation is pending
    case ETIMEDOUT: return 10060;
    case ENODEV:
    case ENXIO: return 1167;
    case ENOTSOCK: return 10038;
    case EADDRINUSE: return 10048;
    case EADDRNOTAVAIL: return 10049;
    case ENETUNREACH: return 10051;
    case ECONNABORTED: return 10053;
    case ECONNRESET: return 10054;
    case ENOTCONN: return 10057;
    case ECONNREFUSED: return 10061;
    case EHOSTUNREACH: return 10065;
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
