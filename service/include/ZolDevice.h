#pragma once
// The contract between the port service and a device plug-in library.
// Both interfaces are made of virtual operations only (no data members, no
// virtual destructor); the slot order below is fixed. Objects cross the
// library boundary only as interface pointers and each side frees only what
// it allocated: a device is destroyed by its own Release(). A device class
// that deletes itself in Release() should be final (no virtual destructor).
#include <cstdint>

#include "platform/PluginExport.h"
#include "platform/WinTypes.h"

// Result codes of Initialize, Write and the plug-ins' own write paths.
inline constexpr std::int32_t DEVICE_SUCCESS = 0;
inline constexpr std::int32_t DEVICE_INIT_FAILED = 4;
inline constexpr std::int32_t DEVICE_NO_LISTENER = 5;
inline constexpr std::int32_t DEVICE_INVALID_ARGUMENT = 8;
inline constexpr std::int32_t DEVICE_DATA_TOO_LONG = 9;
inline constexpr std::int32_t DEVICE_OUT_OF_MEMORY = 10;
inline constexpr std::int32_t DEVICE_PORT_NOT_READY = 11;
inline constexpr std::int32_t DEVICE_WRITE_FAILED = 12;

// Largest Write (and largest DataReceived chunk) in bytes.
inline constexpr std::uint32_t DEVICE_MAX_TRANSFER = 32768;

inline constexpr int DEVICE_IDENTIFIER_CHARS = 200;

// Made by the port service for each device it registers and never freed, so
// it stays valid for as long as the device lives. No plug-in reads it.
struct DEVICE_PARAMS {
  char16_t identifier[DEVICE_IDENTIFIER_CHARS];  // UTF-16, NUL-terminated
  std::uint32_t value1;  // 5
  std::uint32_t value2;  // 1
  std::uint32_t value3;  // 1
  std::uint32_t value4;  // 0
  std::uint32_t value5;  // 0
};
static_assert(sizeof(DEVICE_PARAMS) == 2 * DEVICE_IDENTIFIER_CHARS + 5 * 4);

// Implemented by the port (ZolPort); used by the device.
class IDeviceListener {
 public:
  // Writes length bytes towards the application and blocks until the port's
  // write thread is done with them. *written is meaningful only with result 0.
  // timeout bounds the wait for the COM side's hold (500 ms steps; -1 is 8).
  // The port zeroes all length bytes of data before it returns, once the data
  // reached its write thread. A device must not call Write from two threads
  // at once.
  virtual std::int32_t Write(std::uint8_t* data, std::uint32_t length, std::int32_t* written,
                             std::int32_t timeout) = 0;
  // Raises (TRUE) or lowers (FALSE) the device side's ready-to-receive signal
  // in the driver. TRUE when the driver accepted it. Any thread.
  virtual BOOL SetReadyToReceive(BOOL ready) = 0;

 protected:
  ~IDeviceListener() = default;
};

// Implemented by each plug-in; used by the port.
class IDevice {
 public:
  // Keeps listener and params, starts the device. On success calls
  // listener->SetReadyToReceive(TRUE) and returns DEVICE_SUCCESS, otherwise
  // DEVICE_INIT_FAILED. Called once, on the port service's startup thread.
  virtual std::int32_t Initialize(IDeviceListener* listener, DEVICE_PARAMS* params) = 0;
  // The port's view of the COM side, as a level (TRUE repeats before each read).
  virtual void PortReady(BOOL ready) = 0;
  // Bytes the application wrote, exactly as one read returned them; length
  // 0..32768, valid only during the call, on the port's receive thread.
  virtual void DataReceived(const std::uint8_t* data, std::int32_t length) = 0;
  // The port is going away; two calls in a row are harmless.
  virtual void Terminate() = 0;
  // Stops the device and frees it inside its library. The pointer is dead after.
  virtual void Release() = 0;

 protected:
  ~IDevice() = default;
};

// The one export of each plug-in library, looked up by name. Each call makes a
// new device (nothing started) or returns null when it cannot be allocated.
extern "C" ZOL_PLUGIN_EXPORT IDevice* CreateDevice();

using PFN_CREATE_DEVICE = IDevice* (*)();
