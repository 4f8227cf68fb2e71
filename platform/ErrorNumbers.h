#pragma once
// The Win32 system error, wait and Winsock numbers, declared once. The
// platform layer reports these numbers on both platforms; on Linux the posix
// backend, the providers and WinTypes.h take them from here, and on Windows
// win32/ErrorNumbers.cpp checks each against the SDK's. Numbers only: no
// functions, no OS header.
#include <cstdint>

namespace sys::errnum {

// System error codes (GetLastError).
inline constexpr std::uint32_t kErrorSuccess = 0;
inline constexpr std::uint32_t kErrorInvalidFunction = 1;
inline constexpr std::uint32_t kErrorFileNotFound = 2;
inline constexpr std::uint32_t kErrorPathNotFound = 3;
inline constexpr std::uint32_t kErrorTooManyOpenFiles = 4;
inline constexpr std::uint32_t kErrorAccessDenied = 5;
inline constexpr std::uint32_t kErrorInvalidHandle = 6;
inline constexpr std::uint32_t kErrorNotEnoughMemory = 8;
inline constexpr std::uint32_t kErrorInvalidData = 13;
inline constexpr std::uint32_t kErrorOutOfMemory = 14;
inline constexpr std::uint32_t kErrorWriteProtect = 19;
inline constexpr std::uint32_t kErrorNotReady = 21;
inline constexpr std::uint32_t kErrorBadCommand = 22;
inline constexpr std::uint32_t kErrorWriteFault = 29;
inline constexpr std::uint32_t kErrorReadFault = 30;
inline constexpr std::uint32_t kErrorGenFailure = 31;
inline constexpr std::uint32_t kErrorSharingViolation = 32;
inline constexpr std::uint32_t kErrorHandleEof = 38;
inline constexpr std::uint32_t kErrorNotSupported = 50;
inline constexpr std::uint32_t kErrorFileExists = 80;
inline constexpr std::uint32_t kErrorInvalidParameter = 87;
inline constexpr std::uint32_t kErrorBrokenPipe = 109;
inline constexpr std::uint32_t kErrorDiskFull = 112;
inline constexpr std::uint32_t kErrorInsufficientBuffer = 122;
inline constexpr std::uint32_t kErrorInvalidName = 123;
inline constexpr std::uint32_t kErrorModNotFound = 126;
inline constexpr std::uint32_t kErrorProcNotFound = 127;
inline constexpr std::uint32_t kErrorDirNotEmpty = 145;
inline constexpr std::uint32_t kErrorBadPathname = 161;
inline constexpr std::uint32_t kErrorBusy = 170;
inline constexpr std::uint32_t kErrorAlreadyExists = 183;
inline constexpr std::uint32_t kErrorFilenameExcedRange = 206;
inline constexpr std::uint32_t kErrorNoMoreItems = 259;
inline constexpr std::uint32_t kErrorOperationAborted = 995;
inline constexpr std::uint32_t kErrorIoIncomplete = 996;
inline constexpr std::uint32_t kErrorIoPending = 997;
inline constexpr std::uint32_t kErrorFileInvalid = 1006;
inline constexpr std::uint32_t kErrorBadDb = 1009;  // malformed registry (file)
inline constexpr std::uint32_t kErrorServiceRequestTimeout = 1053;
inline constexpr std::uint32_t kErrorServiceAlreadyRunning = 1056;
inline constexpr std::uint32_t kErrorServiceDoesNotExist = 1060;
inline constexpr std::uint32_t kErrorServiceCannotAcceptCtrl = 1061;
inline constexpr std::uint32_t kErrorServiceNotActive = 1062;
inline constexpr std::uint32_t kErrorFailedServiceControllerConnect = 1063;
inline constexpr std::uint32_t kErrorServiceSpecificError = 1066;
inline constexpr std::uint32_t kErrorServiceExists = 1073;
inline constexpr std::uint32_t kErrorDeviceNotConnected = 1167;
inline constexpr std::uint32_t kErrorNotFound = 1168;
inline constexpr std::uint32_t kErrorTimeout = 1460;
inline constexpr std::uint32_t kErrorRpcServerUnavailable = 1722;

// Results of the waits (WaitForSingleObject / WaitForMultipleObjects).
inline constexpr std::uint32_t kWaitObject0 = 0;
inline constexpr std::uint32_t kWaitTimeout = 0x102;
inline constexpr std::uint32_t kWaitFailed = 0xFFFFFFFFu;
inline constexpr std::uint32_t kInfinite = 0xFFFFFFFFu;

// Winsock error codes (WSAGetLastError).
inline constexpr std::uint32_t kWsaEintr = 10004;
inline constexpr std::uint32_t kWsaEbadf = 10009;
inline constexpr std::uint32_t kWsaEacces = 10013;
inline constexpr std::uint32_t kWsaEfault = 10014;
inline constexpr std::uint32_t kWsaEinval = 10022;
inline constexpr std::uint32_t kWsaEmfile = 10024;
inline constexpr std::uint32_t kWsaEwouldblock = 10035;
inline constexpr std::uint32_t kWsaEinprogress = 10036;
inline constexpr std::uint32_t kWsaEalready = 10037;
inline constexpr std::uint32_t kWsaEnotsock = 10038;
inline constexpr std::uint32_t kWsaEmsgsize = 10040;
inline constexpr std::uint32_t kWsaEprotonosupport = 10043;
inline constexpr std::uint32_t kWsaEopnotsupp = 10045;
inline constexpr std::uint32_t kWsaEafnosupport = 10047;
inline constexpr std::uint32_t kWsaEaddrinuse = 10048;
inline constexpr std::uint32_t kWsaEaddrnotavail = 10049;
inline constexpr std::uint32_t kWsaEnetdown = 10050;
inline constexpr std::uint32_t kWsaEnetunreach = 10051;
inline constexpr std::uint32_t kWsaEconnaborted = 10053;
inline constexpr std::uint32_t kWsaEconnreset = 10054;
inline constexpr std::uint32_t kWsaEnobufs = 10055;
inline constexpr std::uint32_t kWsaEisconn = 10056;
inline constexpr std::uint32_t kWsaEnotconn = 10057;
inline constexpr std::uint32_t kWsaEshutdown = 10058;
inline constexpr std::uint32_t kWsaEtimedout = 10060;
inline constexpr std::uint32_t kWsaEconnrefused = 10061;
inline constexpr std::uint32_t kWsaEhostunreach = 10065;
inline constexpr std::uint32_t kWsaHostNotFound = 11001;
inline constexpr std::uint32_t kWsaTryAgain = 11002;

}  // namespace sys::errnum
