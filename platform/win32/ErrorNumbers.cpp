// The numbers of platform/ErrorNumbers.h are the SDK's: portable code on
// Windows reports them beside codes that come straight from the system.
#include <winsock2.h>

#include "platform/win32/WinHeaders.h"

#include "platform/ErrorNumbers.h"

namespace sys {

static_assert(errnum::kErrorSuccess == ERROR_SUCCESS);
static_assert(errnum::kErrorInvalidFunction == ERROR_INVALID_FUNCTION);
static_assert(errnum::kErrorFileNotFound == ERROR_FILE_NOT_FOUND);
static_assert(errnum::kErrorPathNotFound == ERROR_PATH_NOT_FOUND);
static_assert(errnum::kErrorTooManyOpenFiles == ERROR_TOO_MANY_OPEN_FILES);
static_assert(errnum::kErrorAccessDenied == ERROR_ACCESS_DENIED);
static_assert(errnum::kErrorInvalidHandle == ERROR_INVALID_HANDLE);
static_assert(errnum::kErrorNotEnoughMemory == ERROR_NOT_ENOUGH_MEMORY);
static_assert(errnum::kErrorInvalidData == ERROR_INVALID_DATA);
static_assert(errnum::kErrorOutOfMemory == ERROR_OUTOFMEMORY);
static_assert(errnum::kErrorWriteProtect == ERROR_WRITE_PROTECT);
static_assert(errnum::kErrorNotReady == ERROR_NOT_READY);
static_assert(errnum::kErrorBadCommand == ERROR_BAD_COMMAND);
static_assert(errnum::kErrorWriteFault == ERROR_WRITE_FAULT);
static_assert(errnum::kErrorReadFault == ERROR_READ_FAULT);
static_assert(errnum::kErrorGenFailure == ERROR_GEN_FAILURE);
static_assert(errnum::kErrorSharingViolation == ERROR_SHARING_VIOLATION);
static_assert(errnum::kErrorHandleEof == ERROR_HANDLE_EOF);
static_assert(errnum::kErrorNotSupported == ERROR_NOT_SUPPORTED);
static_assert(errnum::kErrorFileExists == ERROR_FILE_EXISTS);
static_assert(errnum::kErrorInvalidParameter == ERROR_INVALID_PARAMETER);
static_assert(errnum::kErrorBrokenPipe == ERROR_BROKEN_PIPE);
static_assert(errnum::kErrorDiskFull == ERROR_DISK_FULL);
static_assert(errnum::kErrorInsufficientBuffer == ERROR_INSUFFICIENT_BUFFER);
static_assert(errnum::kErrorInvalidName == ERROR_INVALID_NAME);
static_assert(errnum::kErrorModNotFound == ERROR_MOD_NOT_FOUND);
static_assert(errnum::kErrorProcNotFound == ERROR_PROC_NOT_FOUND);
static_assert(errnum::kErrorDirNotEmpty == ERROR_DIR_NOT_EMPTY);
static_assert(errnum::kErrorBadPathname == ERROR_BAD_PATHNAME);
static_assert(errnum::kErrorBusy == ERROR_BUSY);
static_assert(errnum::kErrorAlreadyExists == ERROR_ALREADY_EXISTS);
static_assert(errnum::kErrorFilenameExcedRange == ERROR_FILENAME_EXCED_RANGE);
static_assert(errnum::kErrorNoMoreItems == ERROR_NO_MORE_ITEMS);
static_assert(errnum::kErrorOperationAborted == ERROR_OPERATION_ABORTED);
static_assert(errnum::kErrorIoIncomplete == ERROR_IO_INCOMPLETE);
static_assert(errnum::kErrorIoPending == ERROR_IO_PENDING);
static_assert(errnum::kErrorFileInvalid == ERROR_FILE_INVALID);
static_assert(errnum::kErrorBadDb == ERROR_BADDB);
static_assert(errnum::kErrorServiceRequestTimeout == ERROR_SERVICE_REQUEST_TIMEOUT);
static_assert(errnum::kErrorServiceAlreadyRunning == ERROR_SERVICE_ALREADY_RUNNING);
static_assert(errnum::kErrorServiceDoesNotExist == ERROR_SERVICE_DOES_NOT_EXIST);
static_assert(errnum::kErrorServiceCannotAcceptCtrl == ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
static_assert(errnum::kErrorServiceNotActive == ERROR_SERVICE_NOT_ACTIVE);
static_assert(errnum::kErrorFailedServiceControllerConnect == ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
static_assert(errnum::kErrorServiceSpecificError == ERROR_SERVICE_SPECIFIC_ERROR);
static_assert(errnum::kErrorServiceExists == ERROR_SERVICE_EXISTS);
static_assert(errnum::kErrorDeviceNotConnected == ERROR_DEVICE_NOT_CONNECTED);
static_assert(errnum::kErrorNotFound == ERROR_NOT_FOUND);
static_assert(errnum::kErrorTimeout == ERROR_TIMEOUT);
static_assert(errnum::kErrorRpcServerUnavailable == RPC_S_SERVER_UNAVAILABLE);
static_assert(errnum::kWaitObject0 == WAIT_OBJECT_0);
static_assert(errnum::kWaitTimeout == WAIT_TIMEOUT);
static_assert(errnum::kWaitFailed == WAIT_FAILED);
static_assert(errnum::kInfinite == INFINITE);
static_assert(errnum::kWsaEintr == WSAEINTR);
static_assert(errnum::kWsaEbadf == WSAEBADF);
static_assert(errnum::kWsaEacces == WSAEACCES);
static_assert(errnum::kWsaEfault == WSAEFAULT);
static_assert(errnum::kWsaEinval == WSAEINVAL);
static_assert(errnum::kWsaEmfile == WSAEMFILE);
static_assert(errnum::kWsaEwouldblock == WSAEWOULDBLOCK);
static_assert(errnum::kWsaEinprogress == WSAEINPROGRESS);
static_assert(errnum::kWsaEalready == WSAEALREADY);
static_assert(errnum::kWsaEnotsock == WSAENOTSOCK);
static_assert(errnum::kWsaEmsgsize == WSAEMSGSIZE);
static_assert(errnum::kWsaEprotonosupport == WSAEPROTONOSUPPORT);
static_assert(errnum::kWsaEopnotsupp == WSAEOPNOTSUPP);
static_assert(errnum::kWsaEafnosupport == WSAEAFNOSUPPORT);
static_assert(errnum::kWsaEaddrinuse == WSAEADDRINUSE);
static_assert(errnum::kWsaEaddrnotavail == WSAEADDRNOTAVAIL);
static_assert(errnum::kWsaEnetdown == WSAENETDOWN);
static_assert(errnum::kWsaEnetunreach == WSAENETUNREACH);
static_assert(errnum::kWsaEconnaborted == WSAECONNABORTED);
static_assert(errnum::kWsaEconnreset == WSAECONNRESET);
static_assert(errnum::kWsaEnobufs == WSAENOBUFS);
static_assert(errnum::kWsaEisconn == WSAEISCONN);
static_assert(errnum::kWsaEnotconn == WSAENOTCONN);
static_assert(errnum::kWsaEshutdown == WSAESHUTDOWN);
static_assert(errnum::kWsaEtimedout == WSAETIMEDOUT);
static_assert(errnum::kWsaEconnrefused == WSAECONNREFUSED);
static_assert(errnum::kWsaEhostunreach == WSAEHOSTUNREACH);
static_assert(errnum::kWsaHostNotFound == WSAHOST_NOT_FOUND);
static_assert(errnum::kWsaTryAgain == WSATRY_AGAIN);

}  // namespace sys
