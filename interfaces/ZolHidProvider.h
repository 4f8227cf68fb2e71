/*
 * The C interface of a HID provider library (Linux): ZolHidRaw.so serves
 * hidraw devices, ZolHidSim.so simulated ones. The plug-ins bind a provider at
 * run time by name (dlopen of the full path, then dlsym of every function
 * below, in the order of ZOLHID_EXPORT_NAMES) and use nothing else of it.
 *
 * Conventions every provider honours:
 * - Every function that can fail returns a Win32 error code (0 = success).
 *   ERROR_DEVICE_NOT_CONNECTED (1167) means the device has vanished; from
 *   then on every transfer on that handle gives 1167 again at once.
 *   Other codes used: ERROR_INVALID_PARAMETER (87), ERROR_INSUFFICIENT_BUFFER
 *   (122), ERROR_FILE_NOT_FOUND (2), ERROR_ACCESS_DENIED (5),
 *   ERROR_SHARING_VIOLATION (32), ERROR_NOT_ENOUGH_MEMORY (8),
 *   ERROR_NOT_SUPPORTED (50), ERROR_IO_PENDING (997), ERROR_NO_MORE_ITEMS
 *   (259), ERROR_TIMEOUT (1460), ERROR_GEN_FAILURE (31) for anything else.
 * - Paths and texts are UTF-8, NUL-terminated.
 * - Report buffers start with the report id byte (0 when the device uses no
 *   report ids), and report lengths count that byte, as on Windows.
 * - Transfers never block: a read with no report queued, or a write the
 *   device cannot take now, returns ERROR_IO_PENDING and the caller polls the
 *   handle's descriptor (POLLIN for reading, POLLOUT for writing; POLLHUP or
 *   POLLERR when the device vanished) and calls again. Giving up is simply
 *   not calling again, so a wait can always be cancelled.
 * - All functions are thread-safe on distinct handles; one reader and one
 *   writer may use two handles of the same device at the same time.
 *   ZolHid_FlushQueue may be called on a handle while another thread reads
 *   input reports from it; ZolHid_GetFeature is never called on a handle
 *   while another thread reads from it.
 *
 * Device-change watch: a watch handle has a descriptor that becomes readable
 * when events are queued; ZolHid_WatchNext returns them one at a time, in the
 * order they happened. Kinds: an interface arrived, an interface was removed
 * (path as returned by ZolHid_EnumerateInterfaces), or a resume from suspend
 * was injected (simulated devices only).
 *
 * How the simulator injects a resume (ZolHidSim.so and hidsim agree on it):
 * `hidsim resume` creates a regular file whose name begins with "@resume"
 * (for example "@resume.<pid>") in the simulator folder
 * <ZOL_SYSROOT>/run/zol/hidsim/, and removes it again. Each watch of
 * ZolHidSim.so reports one ZOLHID_EVENT_RESUME for every such file that
 * appears (inotify IN_CREATE or IN_MOVED_TO) and ignores its removal; names
 * beginning with "@" or "." are never devices. The notifier turns the event
 * into an automatic resume, exactly as it does when it sees CLOCK_BOOTTIME run
 * ahead of CLOCK_MONOTONIC.
 */
#ifndef ZOL_HID_PROVIDER_H
#define ZOL_HID_PROVIDER_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(ZOLHID_BUILDING_PROVIDER)
#define ZOLHID_EXPORT __attribute__((visibility("default")))
#else
#define ZOLHID_EXPORT
#endif

/* Report types, numbered as the Windows HID parser numbers them. */
#define ZOLHID_REPORT_INPUT 0
#define ZOLHID_REPORT_OUTPUT 1
#define ZOLHID_REPORT_FEATURE 2

/* Open modes. */
#define ZOLHID_OPEN_QUERY 0 /* attributes, capabilities, serial only */
#define ZOLHID_OPEN_READ 1  /* input reports, flush, feature reports */
#define ZOLHID_OPEN_WRITE 2 /* output reports */

/* Watch event kinds. */
#define ZOLHID_EVENT_ARRIVAL 1
#define ZOLHID_EVENT_REMOVAL 2
#define ZOLHID_EVENT_RESUME 3

#define ZOLHID_MAX_PATH 1024

typedef struct ZolHidDevice ZolHidDevice;
typedef struct ZolHidWatch ZolHidWatch;

typedef struct ZolHidAttributes {
  uint32_t size; /* sizeof(ZolHidAttributes), set by the provider */
  uint16_t vendorId;
  uint16_t productId;
  uint16_t versionNumber;
} ZolHidAttributes;

/* Capabilities of the first top-level collection. */
typedef struct ZolHidCaps {
  uint16_t usage;
  uint16_t usagePage;
  uint16_t inputReportByteLength;   /* largest input report + report id byte, 0 if none */
  uint16_t outputReportByteLength;  /* likewise for output reports */
  uint16_t featureReportByteLength; /* likewise for feature reports */
  uint16_t numberLinkCollectionNodes;
  uint16_t numberInputButtonCaps;
  uint16_t numberInputValueCaps;
  uint16_t numberOutputButtonCaps;
  uint16_t numberOutputValueCaps;
  uint16_t numberFeatureButtonCaps;
  uint16_t numberFeatureValueCaps;
} ZolHidCaps;

/* One value capability: a main item of a report that is not a button. */
typedef struct ZolHidValueCaps {
  uint16_t usagePage;
  uint8_t reportId;
  uint8_t isRange;
  uint16_t bitSize;
  uint16_t reportCount;
  int32_t logicalMin;
  int32_t logicalMax;
  uint16_t usageMin; /* the usage when isRange is 0 */
  uint16_t usageMax;
} ZolHidValueCaps;

typedef struct ZolHidEvent {
  uint32_t kind;               /* ZOLHID_EVENT_* */
  char path[ZOLHID_MAX_PATH];  /* interface path; empty for a resume */
} ZolHidEvent;

/* The paths of all present interfaces as a list of NUL-terminated strings
 * ended by an empty one. When size is too small: ERROR_INSUFFICIENT_BUFFER
 * and *needed holds the size required. No interface is not an error. */
ZOLHID_EXPORT uint32_t ZolHid_EnumerateInterfaces(char* buffer, uint32_t size, uint32_t* needed);

/* Opens an interface (mode ZOLHID_OPEN_*). A path that is not (or no longer)
 * present: ERROR_FILE_NOT_FOUND. */
ZOLHID_EXPORT uint32_t ZolHid_Open(const char* path, uint32_t mode, ZolHidDevice** device);
ZOLHID_EXPORT void ZolHid_Close(ZolHidDevice* device);

ZOLHID_EXPORT uint32_t ZolHid_GetAttributes(ZolHidDevice* device, ZolHidAttributes* attributes);
ZOLHID_EXPORT uint32_t ZolHid_GetCaps(ZolHidDevice* device, ZolHidCaps* caps);
/* Fills at most *count records of one report type; *count becomes the number
 * filled. ERROR_INSUFFICIENT_BUFFER (with *count = the number available)
 * when there are more. */
ZOLHID_EXPORT uint32_t ZolHid_GetValueCaps(ZolHidDevice* device, uint32_t reportType,
                                           ZolHidValueCaps* caps, uint32_t* count);
/* The serial number, UTF-8, NUL-terminated, truncated to fit size. A device
 * without one: ERROR_NOT_SUPPORTED. */
ZOLHID_EXPORT uint32_t ZolHid_GetSerialNumber(ZolHidDevice* device, char* buffer, uint32_t size);

/* Discards the input reports queued for this handle. */
ZOLHID_EXPORT uint32_t ZolHid_FlushQueue(ZolHidDevice* device);
/* How many input reports this handle keeps queued (oldest dropped first). */
ZOLHID_EXPORT uint32_t ZolHid_SetNumInputBuffers(ZolHidDevice* device, uint32_t count);

/* The descriptor to poll while a transfer on this handle is pending. It stays
 * owned by the handle. */
ZOLHID_EXPORT uint32_t ZolHid_GetPollDescriptor(ZolHidDevice* device, int* fd);
/* Takes the oldest queued input report (report id byte first). A report
 * longer than size is cut, a shorter one leaves the rest of the buffer as it
 * was. *transferred = bytes stored. No report queued: ERROR_IO_PENDING. */
ZOLHID_EXPORT uint32_t ZolHid_ReadInputReport(ZolHidDevice* device, uint8_t* buffer, uint32_t size,
                                              uint32_t* transferred);
/* Sends one output report (buffer[0] = report id) whole or not at all.
 * Device busy: ERROR_IO_PENDING. */
ZOLHID_EXPORT uint32_t ZolHid_WriteOutputReport(ZolHidDevice* device, const uint8_t* buffer,
                                                uint32_t size);
/* Reads the feature report whose id is buffer[0] into buffer (report id byte
 * first). Synchronous; gives up with ERROR_TIMEOUT after 5000 ms. */
ZOLHID_EXPORT uint32_t ZolHid_GetFeature(ZolHidDevice* device, uint8_t* buffer, uint32_t size);

/* The device-change watch. Events that happen after ZolHid_WatchOpen
 * returns are reported; nothing is reported for interfaces already present. */
ZOLHID_EXPORT uint32_t ZolHid_WatchOpen(ZolHidWatch** watch);
ZOLHID_EXPORT uint32_t ZolHid_WatchDescriptor(ZolHidWatch* watch, int* fd);
/* The next event, or ERROR_NO_MORE_ITEMS when none is queued. */
ZOLHID_EXPORT uint32_t ZolHid_WatchNext(ZolHidWatch* watch, ZolHidEvent* event);
ZOLHID_EXPORT void ZolHid_WatchClose(ZolHidWatch* watch);

/* The export names, in the order a binder resolves them. */
#define ZOLHID_EXPORT_NAMES                                                              \
  "ZolHid_EnumerateInterfaces", "ZolHid_Open", "ZolHid_Close", "ZolHid_GetAttributes",   \
      "ZolHid_GetCaps", "ZolHid_GetValueCaps", "ZolHid_GetSerialNumber",                 \
      "ZolHid_FlushQueue", "ZolHid_SetNumInputBuffers", "ZolHid_GetPollDescriptor",      \
      "ZolHid_ReadInputReport", "ZolHid_WriteOutputReport", "ZolHid_GetFeature",         \
      "ZolHid_WatchOpen", "ZolHid_WatchDescriptor", "ZolHid_WatchNext", "ZolHid_WatchClose"

#ifdef __cplusplus
}
#endif

#endif /* ZOL_HID_PROVIDER_H */
