#pragma once
// The Win32 names that portable code uses for its results and codes. Portable
// code never includes an OS header; platform implementation files never
// include this one (on Windows these names come from <windows.h>).
#include <cstdint>

#include "platform/ErrorNumbers.h"

using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using UINT = unsigned int;
using LONG = std::int32_t;
using ULONG = std::uint32_t;
using BOOL = int;
using HRESULT = std::int32_t;

inline constexpr BOOL TRUE = 1;
inline constexpr BOOL FALSE = 0;

inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT S_FALSE = 1;
inline constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005u);
inline constexpr HRESULT E_UNEXPECTED = static_cast<HRESULT>(0x8000FFFFu);
inline constexpr HRESULT E_OUTOFMEMORY = static_cast<HRESULT>(0x8007000Eu);
inline constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057u);

inline constexpr DWORD WAIT_OBJECT_0 = sys::errnum::kWaitObject0;
inline constexpr DWORD WAIT_TIMEOUT = sys::errnum::kWaitTimeout;
inline constexpr DWORD WAIT_FAILED = sys::errnum::kWaitFailed;
inline constexpr DWORD INFINITE = sys::errnum::kInfinite;

// System error codes: the Win32 numbers on both platforms, from ErrorNumbers.h.
inline constexpr DWORD ERROR_SUCCESS = sys::errnum::kErrorSuccess;
inline constexpr DWORD ERROR_FILE_NOT_FOUND = sys::errnum::kErrorFileNotFound;
inline constexpr DWORD ERROR_PATH_NOT_FOUND = sys::errnum::kErrorPathNotFound;
inline constexpr DWORD ERROR_TOO_MANY_OPEN_FILES = sys::errnum::kErrorTooManyOpenFiles;
inline constexpr DWORD ERROR_ACCESS_DENIED = sys::errnum::kErrorAccessDenied;
inline constexpr DWORD ERROR_INVALID_HANDLE = sys::errnum::kErrorInvalidHandle;
inline constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = sys::errnum::kErrorNotEnoughMemory;
inline constexpr DWORD ERROR_INVALID_DATA = sys::errnum::kErrorInvalidData;
inline constexpr DWORD ERROR_OUTOFMEMORY = sys::errnum::kErrorOutOfMemory;
inline constexpr DWORD ERROR_WRITE_PROTECT = sys::errnum::kErrorWriteProtect;
inline constexpr DWORD ERROR_NOT_READY = sys::errnum::kErrorNotReady;
inline constexpr DWORD ERROR_BAD_COMMAND = sys::errnum::kErrorBadCommand;
inline constexpr DWORD ERROR_WRITE_FAULT = sys::errnum::kErrorWriteFault;
inline constexpr DWORD ERROR_READ_FAULT = sys::errnum::kErrorReadFault;
inline constexpr DWORD ERROR_GEN_FAILURE = sys::errnum::kErrorGenFailure;
inline constexpr DWORD ERROR_SHARING_VIOLATION = sys::errnum::kErrorSharingViolation;
inline constexpr DWORD ERROR_HANDLE_EOF = sys::errnum::kErrorHandleEof;
inline constexpr DWORD ERROR_NOT_SUPPORTED = sys::errnum::kErrorNotSupported;
inline constexpr DWORD ERROR_FILE_EXISTS = sys::errnum::kErrorFileExists;
inline constexpr DWORD ERROR_INVALID_PARAMETER = sys::errnum::kErrorInvalidParameter;
inline constexpr DWORD ERROR_BROKEN_PIPE = sys::errnum::kErrorBrokenPipe;
inline constexpr DWORD ERROR_DISK_FULL = sys::errnum::kErrorDiskFull;
inline constexpr DWORD ERROR_INSUFFICIENT_BUFFER = sys::errnum::kErrorInsufficientBuffer;
inline constexpr DWORD ERROR_MOD_NOT_FOUND = sys::errnum::kErrorModNotFound;
inline constexpr DWORD ERROR_PROC_NOT_FOUND = sys::errnum::kErrorProcNotFound;
inline constexpr DWORD ERROR_DIR_NOT_EMPTY = sys::errnum::kErrorDirNotEmpty;
inline constexpr DWORD ERROR_BAD_PATHNAME = sys::errnum::kErrorBadPathname;
inline constexpr DWORD ERROR_BUSY = sys::errnum::kErrorBusy;
inline constexpr DWORD ERROR_ALREADY_EXISTS = sys::errnum::kErrorAlreadyExists;
inline constexpr DWORD ERROR_FILENAME_EXCED_RANGE = sys::errnum::kErrorFilenameExcedRange;
inline constexpr DWORD ERROR_NO_MORE_ITEMS = sys::errnum::kErrorNoMoreItems;
inline constexpr DWORD ERROR_OPERATION_ABORTED = sys::errnum::kErrorOperationAborted;
inline constexpr DWORD ERROR_IO_INCOMPLETE = sys::errnum::kErrorIoIncomplete;
inline constexpr DWORD ERROR_IO_PENDING = sys::errnum::kErrorIoPending;
inline constexpr DWORD ERROR_FILE_INVALID = sys::errnum::kErrorFileInvalid;
inline constexpr DWORD ERROR_BADDB = sys::errnum::kErrorBadDb;
inline constexpr DWORD ERROR_SERVICE_DOES_NOT_EXIST = sys::errnum::kErrorServiceDoesNotExist;
inline constexpr DWORD ERROR_FAILED_SERVICE_CONTROLLER_CONNECT = sys::errnum::kErrorFailedServiceControllerConnect;
inline constexpr DWORD ERROR_DEVICE_NOT_CONNECTED = sys::errnum::kErrorDeviceNotConnected;
inline constexpr DWORD ERROR_NOT_FOUND = sys::errnum::kErrorNotFound;
inline constexpr DWORD ERROR_TIMEOUT = sys::errnum::kErrorTimeout;
