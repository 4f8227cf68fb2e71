#include "platform/common/ErrorTexts.h"

#include <utility>

namespace sys::detail {
namespace {

// The system message table's wording for each code the system reports.
constexpr std::pair<std::uint32_t, const char*> kErrorTexts[] = {
    {0, "The operation completed successfully.\r\n"},
    {1, "Incorrect function.\r\n"},
    {2, "The system cannot find the file specified.\r\n"},
    {3, "The system cannot find the path specified.\r\n"},
    {4, "The system cannot open the file.\r\n"},
    {5, "Access is denied.\r\n"},
    {6, "The handle is invalid.\r\n"},
    {8, "Not enough memory resources are available to process this command.\r\n"},
    {13, "The data is invalid.\r\n"},
    {14, "Not enough memory resources are available to complete this operation.\r\n"},
    {19, "The media is write protected.\r\n"},
    {21, "The device is not ready.\r\n"},
    {22, "The device does not recognize the command.\r\n"},
    {29, "The system cannot write to the specified device.\r\n"},
    {30, "The system cannot read from the specified device.\r\n"},
    {31, "A device attached to the system is not functioning.\r\n"},
    {32, "The process cannot access the file because it is being used by another process.\r\n"},
    {38, "Reached the end of the file.\r\n"},
    {50, "The request is not supported.\r\n"},
    {80, "The file exists.\r\n"},
    {87, "The parameter is incorrect.\r\n"},
    {109, "The pipe has been ended.\r\n"},
    {112, "There is not enough space on the disk.\r\n"},
    {122, "The data area passed to a system call is too small.\r\n"},
    {126, "The specified module could not be found.\r\n"},
    {127, "The specified procedure could not be found.\r\n"},
    {145, "The directory is not empty.\r\n"},
    {161, "The specified path is invalid.\r\n"},
    {170, "The requested resource is in use.\r\n"},
    {183, "Cannot create a file when that file already exists.\r\n"},
    {206, "The filename or extension is too long.\r\n"},
    {259, "No more data is available.\r\n"},
    {995, "The I/O operation has been aborted because of either a thread exit or an application request.\r\n"},
    {996, "Overlapped I/O event is not in a signaled state.\r\n"},
    {997, "Overlapped I/O operation is in progress.\r\n"},
    {1006, "The volume for a file has been externally altered so that the opened file is no longer valid.\r\n"},
    {1009, "The configuration registry database is corrupt.\r\n"},
    {1052, "The requested control is not valid for this service.\r\n"},
    {1053, "The service did not respond to the start or control request in a timely fashion.\r\n"},
    {1056, "An instance of the service is already running.\r\n"},
    {1060, "The specified service does not exist as an installed service.\r\n"},
    {1061, "The service cannot accept control messages at this time.\r\n"},
    {1062, "The service has not been started.\r\n"},
    {1063, "The service process could not connect to the service controller.\r\n"},
    {1069, "The service did not start due to a logon failure.\r\n"},
    {1072, "The specified service has been marked for deletion.\r\n"},
    {1073, "The specified service already exists.\r\n"},
    {1167, "The device is not connected.\r\n"},
    {1168, "Element not found.\r\n"},
    {1460, "This operation returned because the timeout period expired.\r\n"},
    {10004, "A blocking operation was interrupted by a call to WSACancelBlockingCall.\r\n"},
    {10013, "An attempt was made to access a socket in a way forbidden by its access permissions.\r\n"},
    {10022, "An invalid argument was supplied.\r\n"},
    {10024, "Too many open sockets.\r\n"},
    {10035, "A non-blocking socket operation could not be completed immediately.\r\n"},
    {10038, "An operation was attempted on something that is not a socket.\r\n"},
    {10047, "An address incompatible with the requested protocol was used.\r\n"},
    {10048, "Only one usage of each socket address (protocol/network address/port) is normally permitted.\r\n"},
    {10049, "The requested address is not valid in its context.\r\n"},
    {10050, "A socket operation encountered a dead network.\r\n"},
    {10051, "A socket operation was attempted to an unreachable network.\r\n"},
    {10053, "An established connection was aborted by the software in your host machine.\r\n"},
    {10054, "An existing connection was forcibly closed by the remote host.\r\n"},
    {10055, "An operation on a socket could not be performed because the system lacked sufficient buffer space or because a queue was full.\r\n"},
    {10057, "A request to send or receive data was disallowed because the socket is not connected and (when sending on a datagram socket using a sendto call) no address was supplied.\r\n"},
    {10058, "A request to send or receive data was disallowed because the socket had already been shut down in that direction with a previous shutdown call.\r\n"},
    {10060, "A connection attempt failed because the connected party did not properly respond after a period of time, or established connection failed because connected host has failed to respond.\r\n"},
    {10061, "No connection could be made because the target machine actively refused it.\r\n"},
    {10065, "A socket operation was attempted to an unreachable host.\r\n"},
    // The HRESULTs of their own that the port manager and the port return.
    {0x80004001u, "Not implemented\r\n"},
    {0x80004002u, "No such interface supported\r\n"},
    {0x80004003u, "Invalid pointer\r\n"},
    {0x80004004u, "Operation aborted\r\n"},
    {0x80004005u, "Unspecified error\r\n"},
    {0x8000FFFFu, "Catastrophic failure\r\n"},
};

constexpr std::uint32_t kWin32Facility = 0x80070000u;

}  // namespace

const char* KnownErrorText(std::uint32_t code) {
  // A system error made an HRESULT reads as the error itself.
  if ((code & 0xFFFF0000u) == kWin32Facility) code &= 0xFFFFu;
  for (const auto& [known, text] : kErrorTexts) {
    if (known == code) return text;
  }
  return nullptr;
}

}  // namespace sys::detail
